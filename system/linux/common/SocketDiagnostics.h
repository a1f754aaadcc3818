#pragma once

#include "Result.h"
#include "UniqueFd.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <sys/types.h>

#include <cstdint>

namespace sentorix::linux_system {

// The kernel's sock_diag interface for TCP sockets: what the kernel knows of them, asked by one netlink
// socket that belongs to this object (not shared between threads without a lock).
class SocketDiagnostics {
public:
    SocketDiagnostics();

    // One request; every answering socket is handed to `each` (only the first unless `dump`), those
    // answered before a netlink failure too. A template: asked on a flow's path, it allocates nothing
    // unless it fails.
    template <typename Each>
    Result<void> ask(const inet_diag_req_v2& request, bool dump, Each&& each) {
        if (!send(request, dump)) {
            return failed("send to");
        }
        alignas(nlmsghdr) char buffer[16384];
        for (;;) {
            const ssize_t length = receive(buffer, sizeof buffer);
            if (length <= 0) {
                return failed("receive from");
            }
            auto* header = reinterpret_cast<nlmsghdr*>(buffer);
            int remaining = static_cast<int>(length);
            for (; NLMSG_OK(header, remaining); header = NLMSG_NEXT(header, remaining)) {
                if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                    return {};
                }
                each(*reinterpret_cast<const inet_diag_msg*>(NLMSG_DATA(header)));
                if (!dump) {
                    return {};
                }
            }
        }
    }
    // Ends the socket the kernel reported (with its cookie) as an abort: its peer gets a reset. Needs
    // CAP_NET_ADMIN.
    Result<void> destroy(std::uint8_t family, const inet_diag_sockid& id);

private:
    bool send(const inet_diag_req_v2& request, bool dump);
    ssize_t receive(char* buffer, std::size_t size);
    // The netlink failure just met, with errno's code.
    static NSError failed(const char* what);

    UniqueFd netlink_;
};

}  // namespace sentorix::linux_system
