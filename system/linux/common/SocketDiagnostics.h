#pragma once

#include "UniqueFd.h"

#include <linux/inet_diag.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <set>

namespace sentorix::linux_system {

// The kernel's sock_diag interface for TCP sockets: what the kernel knows of them, asked by one netlink
// socket that belongs to this object (not shared between threads without a lock).
class SocketDiagnostics {
public:
    using Each = std::function<void(const inet_diag_msg&)>;

    SocketDiagnostics();

    // One request; every answering socket is handed to `each` (only the first unless `dump`). False on a
    // netlink failure.
    bool ask(const inet_diag_req_v2& request, bool dump, const Each& each);
    // Ends the socket the kernel reported (with its cookie) as an abort: its peer gets a reset. Needs
    // CAP_NET_ADMIN; false with errno set otherwise.
    bool destroy(std::uint8_t family, const inet_diag_sockid& id);

    // The inodes of the sockets the process holds, from /proc.
    static std::set<std::uint64_t> socketInodesOf(pid_t pid);

private:
    UniqueFd netlink_;
};

}  // namespace sentorix::linux_system
