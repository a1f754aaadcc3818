#pragma once

#include "BoundedCache.h"
#include "ProcFS.h"
#include "SocketDiagnostics.h"

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sentorix::linux_system {

// Finds which application opened an intercepted connection: the kernel's socket diagnostics give the
// application socket's inode, a cached inode-to-process map gives the process, and the process gives
// the identifier, first match wins:
//   1. "com.sentorix.proxy-sidecar" for the process listening on the local proxy's address and port;
//   2. the application ID of its desktop unit (app-<launcher>-<ID>-<n>.scope, app-<launcher>-<ID>@<n>.service,
//      <NAME>.service, Flatpak and Snap scopes);
//   3. the absolute path of its executable.
// An identity that cannot be found is the empty string.
class ProcessIdentifier {
public:
    static constexpr const char* ProxySidecarIdentifier = "com.sentorix.proxy-sidecar";

    ProcessIdentifier(asio::ip::tcp::endpoint proxy, std::string procRoot = "/proc");

    // `application` is the application socket's own address (our accepted socket's peer), `destination`
    // the address it connected to (the original destination). For connections redirected by nftables,
    // where nothing tells which process made them.
    std::string identify(const asio::ip::tcp::endpoint& application, const asio::ip::tcp::endpoint& destination);

    // The identifier of process `pid` in cgroup `cgroup`, during the life the kernel calls `stamp`: read
    // from /proc once per such life, without looking at its descriptors; no lock is held while reading.
    // `exeDevice` and `exeInode` name its executable file where the kernel told (0 otherwise): a program's
    // path is then read once, for its first process.
    std::string identifyProcess(int pid, std::uint64_t stamp, std::uint64_t cgroup, std::uint32_t exeDevice = 0,
                                std::uint64_t exeInode = 0);

    // The processes holding a listening socket on the proxy's address and port, looked for among the
    // processes of the listener's owner only. Meant for start-up, never for a flow's path.
    std::vector<int> proxyProcesses();
    // True when the process holds the local proxy's listening socket.
    bool holdsProxyListener(int pid);

    struct Statistics {
        std::uint64_t lookups = 0, fullScans = 0, knownProcessScans = 0;  // fullScans: walks of /proc
        std::uint64_t processReads = 0;  // identifyProcess calls that read /proc
    };
    Statistics statistics() const;

private:
    struct SocketInfo {
        std::uint64_t inode;
        std::uint32_t uid;
    };
    struct Identity {
        std::uint64_t startTime;
        std::string identifier;
    };
    struct ProcessLife {
        std::uint64_t stamp;
        std::uint64_t cgroup;
        std::string identifier;
    };

    std::optional<SocketInfo> findSocket(const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& remote);
    std::optional<SocketInfo> findListener(const asio::ip::tcp::endpoint& endpoint);
    std::optional<int> processOwning(std::uint64_t inode);
    bool scanProcess(int pid, std::uint64_t wanted);
    bool holdsProxyListenerLocked(int pid);
    std::optional<int> scanNewestFirst(std::uint64_t wanted);
    std::string identityOf(int pid);
    std::string unitOf(int pid) const;        // rule 2, from /proc/PID/cgroup
    std::string executableOf(int pid) const;  // rule 3
    void remember(int pid);

    const asio::ip::tcp::endpoint proxy_;
    const ProcFS proc_;
    std::mutex mutex_;
    SocketDiagnostics diagnostics_;
    // Past their limits these hold mostly what has ended (closed sockets, exited processes); the live
    // ones are read again once.
    BoundedCache<std::uint64_t, int> inodeOwners_{65536};
    BoundedCache<int, Identity> identities_{4096};
    BoundedCache<int, ProcessLife> lives_{4096};  // identifyProcess's cache
    BoundedCache<std::uint64_t, std::string> unitsByCgroup_{4096};
    using FileKey = std::pair<std::uint32_t, std::uint64_t>;  // (device, inode)
    BoundedCache<FileKey, std::string, std::map<FileKey, std::string>> pathsByFile_{4096};
    std::deque<int> recentProcesses_;
    std::optional<std::uint64_t> proxyListenerInode_;
    std::unordered_map<int, bool> proxyProcesses_;  // pid: holds the proxy's listener
    Statistics statistics_;
};

}  // namespace sentorix::linux_system
