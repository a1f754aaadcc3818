#include "ProcessIdentifier.h"

#include "AddressWords.h"
#include "UnitNames.h"

#include <linux/inet_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace sentorix::linux_system {

namespace {

constexpr std::size_t RecentProcessLimit = 64;

}  // namespace

ProcessIdentifier::ProcessIdentifier(asio::ip::tcp::endpoint proxy, std::string procRoot)
    : proxy_(std::move(proxy)),
      proc_(std::move(procRoot)),
      diagnostics_() {}

ProcessIdentifier::Statistics ProcessIdentifier::statistics() const {
    std::lock_guard lock(const_cast<std::mutex&>(mutex_));
    return statistics_;
}

std::optional<ProcessIdentifier::SocketInfo> ProcessIdentifier::findSocket(const asio::ip::tcp::endpoint& local,
                                                                           const asio::ip::tcp::endpoint& remote) {
    inet_diag_req_v2 request{};
    request.sdiag_family = local.address().is_v4() ? AF_INET : AF_INET6;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = ~0u;
    request.id.idiag_sport = htons(local.port());
    request.id.idiag_dport = htons(remote.port());
    copyAddressWords(request.id.idiag_src, local.address());
    copyAddressWords(request.id.idiag_dst, remote.address());
    request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    std::optional<SocketInfo> found;
    const auto asked = diagnostics_.ask(request, false, [&](const inet_diag_msg& reply) {
        if (reply.idiag_inode != 0) {
            found = SocketInfo{reply.idiag_inode, reply.idiag_uid};
        }
    });
    return asked ? found : std::nullopt;
}

std::optional<ProcessIdentifier::SocketInfo> ProcessIdentifier::findListener(const asio::ip::tcp::endpoint& endpoint) {
    inet_diag_req_v2 request{};
    request.sdiag_family = endpoint.address().is_v4() ? AF_INET : AF_INET6;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = 1u << TCP_LISTEN;
    std::uint32_t wanted[4] = {};
    copyAddressWords(wanted, endpoint.address());
    const std::uint32_t any[4] = {};
    // A wildcard listener takes the proxy's connections only while nobody listens on its exact address.
    std::optional<SocketInfo> exact, wildcard;
    // The listeners answered before a failure count: one of them may be the proxy's.
    static_cast<void>(diagnostics_.ask(request, true, [&](const inet_diag_msg& reply) {
        const std::size_t bytes = endpoint.address().is_v4() ? 4 : 16;
        if (ntohs(reply.id.idiag_sport) != endpoint.port()) {
            return;
        }
        if (std::memcmp(reply.id.idiag_src, wanted, bytes) == 0 && !exact) {
            exact = SocketInfo{reply.idiag_inode, reply.idiag_uid};
        } else if (std::memcmp(reply.id.idiag_src, any, bytes) == 0 && !wildcard) {
            wildcard = SocketInfo{reply.idiag_inode, reply.idiag_uid};
        }
    }));
    return exact ? exact : wildcard;
}

bool ProcessIdentifier::scanProcess(int pid, std::uint64_t wanted) {
    const auto inodes = proc_.socketInodesOf(pid);
    if (!inodes) {
        return false;
    }
    bool found = false;
    for (const std::uint64_t inode : *inodes) {
        inodeOwners_.assign(inode, pid);
        found = found || inode == wanted;
    }
    return found;
}

std::optional<int> ProcessIdentifier::scanNewestFirst(std::uint64_t wanted) {
    ++statistics_.fullScans;
    auto pids = proc_.pids();
    if (!pids) {
        return std::nullopt;
    }
    // A socket nobody is known to hold most likely belongs to a process that has just started, and
    // new processes have the highest numbers (until they wrap): look at those first.
    std::sort(pids->rbegin(), pids->rend());
    for (int pid : *pids) {
        if (scanProcess(pid, wanted)) {
            return pid;
        }
    }
    return std::nullopt;
}

std::optional<int> ProcessIdentifier::processOwning(std::uint64_t inode) {
    if (const int* known = inodeOwners_.find(inode)) {
        return *known;
    }
    // A process seen lately most likely opened this socket too: look there before walking /proc.
    ++statistics_.knownProcessScans;
    for (int pid : recentProcesses_) {
        if (scanProcess(pid, inode)) {
            return pid;
        }
    }
    return scanNewestFirst(inode);
}

void ProcessIdentifier::remember(int pid) {
    const auto it = std::find(recentProcesses_.begin(), recentProcesses_.end(), pid);
    if (it != recentProcesses_.end()) {
        recentProcesses_.erase(it);
    }
    recentProcesses_.push_front(pid);
    if (recentProcesses_.size() > RecentProcessLimit) {
        recentProcesses_.pop_back();
    }
}

std::string ProcessIdentifier::unitOf(int pid) const {
    const auto cgroups = proc_.cgroupsOf(pid);
    if (!cgroups) {
        return "";
    }
    for (const auto& path : {cgroups->unified, cgroups->systemd}) {
        if (std::string id = UnitNames::identifier(path); !id.empty()) {
            return id;
        }
    }
    return "";
}

std::string ProcessIdentifier::executableOf(int pid) const {
    auto path = proc_.executableOf(pid);
    return path ? std::move(*path) : "";
}

std::string ProcessIdentifier::identityOf(int pid) {
    std::string unit = unitOf(pid);
    return unit.empty() ? executableOf(pid) : unit;
}

std::string ProcessIdentifier::identifyProcess(int pid, std::uint64_t stamp, std::uint64_t cgroup,
                                               std::uint32_t exeDevice, std::uint64_t exeInode) {
    const std::pair file{exeDevice, exeInode};
    std::optional<std::string> unit, path;
    {
        std::lock_guard lock(mutex_);
        ++statistics_.lookups;
        if (const ProcessLife* known = lives_.find(pid); known && known->stamp == stamp && known->cgroup == cgroup) {
            return known->identifier;
        }
        ++statistics_.processReads;
        // Every process of a cgroup has the unit name it gives: read once per cgroup, not per process.
        if (const std::string* known = unitsByCgroup_.find(cgroup)) {
            unit = *known;
        }
        if (const std::string* known = pathsByFile_.find(file); exeInode != 0 && known) {
            path = *known;
        }
    }
    const bool cgroupKnown = unit.has_value();
    const bool fileKnown = path.has_value();
    if (!unit) {
        unit = unitOf(pid);
    }
    if (unit->empty() && !path) {
        path = executableOf(pid);
    }
    std::string identifier = unit->empty() ? *path : *unit;
    std::lock_guard lock(mutex_);
    if (!fileKnown && path && exeInode != 0 && !path->empty()) {
        pathsByFile_.insert(file, *path);
    }
    if (!cgroupKnown && cgroup != 0) {
        unitsByCgroup_.insert(cgroup, *unit);
    }
    lives_.assign(pid, ProcessLife{stamp, cgroup, identifier});
    return identifier;
}

std::vector<int> ProcessIdentifier::proxyProcesses() {
    std::lock_guard lock(mutex_);
    std::vector<int> found;
    const auto listener = findListener(proxy_);
    if (!listener) {
        return found;
    }
    // The listener's owner first; a proxy that dropped its privileges after listening is found in the
    // second pass, among everyone.
    for (const bool ownerOnly : {true, false}) {
        const auto pids = proc_.pids();
        if (!pids) {
            break;
        }
        for (const int pid : *pids) {
            const auto owner = proc_.ownerOf(pid);
            if (owner && (*owner == listener->uid) == ownerOnly && scanProcess(pid, listener->inode)) {
                found.push_back(pid);
            }
        }
        if (!found.empty()) {
            break;
        }
    }
    return found;
}

bool ProcessIdentifier::holdsProxyListener(int pid) {
    std::lock_guard lock(mutex_);
    return holdsProxyListenerLocked(pid);
}

// The proxy's own connections must never come back to it. Any process holding its listening socket
// counts (a proxy may hand connections to forked workers); the listener is looked up each time, so
// that a restarted proxy is recognised at once.
bool ProcessIdentifier::holdsProxyListenerLocked(int pid) {
    const auto listener = findListener(proxy_);
    if (!listener) {
        return false;
    }
    if (listener->inode != proxyListenerInode_) {
        proxyListenerInode_ = listener->inode;
        proxyProcesses_.clear();
    }
    auto known = proxyProcesses_.find(pid);
    if (known == proxyProcesses_.end()) {
        known = proxyProcesses_.emplace(pid, scanProcess(pid, listener->inode)).first;
    }
    return known->second;
}

std::string ProcessIdentifier::identify(const asio::ip::tcp::endpoint& application,
                                        const asio::ip::tcp::endpoint& destination) {
    std::lock_guard lock(mutex_);
    ++statistics_.lookups;
    const auto socket = findSocket(application, destination);
    if (!socket) {
        return "";  // the application has gone already
    }
    const auto pid = processOwning(socket->inode);
    if (!pid) {
        return "";
    }
    remember(*pid);

    if (holdsProxyListenerLocked(*pid)) {
        return ProxySidecarIdentifier;
    }

    const auto startTime = proc_.startTimeOf(*pid);
    if (!startTime) {
        return "";
    }
    if (const Identity* known = identities_.find(*pid); known && known->startTime == *startTime) {
        return known->identifier;
    }
    std::string identifier = identityOf(*pid);
    identities_.assign(*pid, Identity{*startTime, identifier});
    return identifier;
}

}  // namespace sentorix::linux_system
