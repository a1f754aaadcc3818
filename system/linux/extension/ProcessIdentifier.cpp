#include "ProcessIdentifier.h"

#include "AddressWords.h"
#include "UniqueFd.h"
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>
#include <cctype>
#include <cstring>
#include <sstream>

namespace sentorix::linux_system {

namespace {

constexpr std::size_t RecentProcessLimit = 64;

bool numeric(const char* name) {
    return *name && std::all_of(name, name + std::strlen(name), [](char c) { return c >= '0' && c <= '9'; });
}

// One read(2) of a small /proc file, without a stream's set-up.
std::string readSmallFile(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return "";
    }
    char buffer[4096];
    const ssize_t length = ::read(fd.get(), buffer, sizeof buffer);
    return length > 0 ? std::string(buffer, std::size_t(length)) : "";
}

}  // namespace

ProcessIdentifier::ProcessIdentifier(asio::ip::tcp::endpoint proxy, std::string procRoot)
    : proxy_(std::move(proxy)),
      procRoot_(std::move(procRoot)),
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
    diagnostics_.ask(request, false, [&](const inet_diag_msg& reply) {
        if (reply.idiag_inode != 0) {
            found = SocketInfo{reply.idiag_inode, reply.idiag_uid};
        }
    });
    return found;
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
    diagnostics_.ask(request, true, [&](const inet_diag_msg& reply) {
        const std::size_t bytes = endpoint.address().is_v4() ? 4 : 16;
        if (ntohs(reply.id.idiag_sport) != endpoint.port()) {
            return;
        }
        if (std::memcmp(reply.id.idiag_src, wanted, bytes) == 0 && !exact) {
            exact = SocketInfo{reply.idiag_inode, reply.idiag_uid};
        } else if (std::memcmp(reply.id.idiag_src, any, bytes) == 0 && !wildcard) {
            wildcard = SocketInfo{reply.idiag_inode, reply.idiag_uid};
        }
    });
    return exact ? exact : wildcard;
}

bool ProcessIdentifier::scanProcess(int pid, std::uint64_t wanted) {
    const std::string directory = procRoot_ + "/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(directory.c_str());
    if (!fds) {
        return false;
    }
    bool found = false;
    char target[64];
    while (const dirent* entry = ::readdir(fds)) {
        if (!numeric(entry->d_name)) {
            continue;
        }
        const ssize_t length =
            ::readlinkat(::dirfd(fds), entry->d_name, target, sizeof target - 1);
        if (length <= 9 || std::strncmp(target, "socket:[", 8) != 0) {
            continue;
        }
        target[length] = '\0';
        const std::uint64_t inode = std::strtoull(target + 8, nullptr, 10);
        if (inodeOwners_.size() > 65536) {
            inodeOwners_.clear();  // mostly closed sockets by now
        }
        inodeOwners_[inode] = pid;
        found = found || inode == wanted;
    }
    ::closedir(fds);
    return found;
}

std::optional<int> ProcessIdentifier::scanNewestFirst(std::uint64_t wanted) {
    ++statistics_.fullScans;
    std::vector<int> pids;
    if (DIR* proc = ::opendir(procRoot_.c_str())) {
        while (const dirent* entry = ::readdir(proc)) {
            if (numeric(entry->d_name)) {
                pids.push_back(std::atoi(entry->d_name));
            }
        }
        ::closedir(proc);
    }
    // A socket nobody is known to hold most likely belongs to a process that has just started, and
    // new processes have the highest numbers (until they wrap): look at those first.
    std::sort(pids.rbegin(), pids.rend());
    for (int pid : pids) {
        if (scanProcess(pid, wanted)) {
            return pid;
        }
    }
    return std::nullopt;
}

std::optional<int> ProcessIdentifier::processOwning(std::uint64_t inode) {
    if (const auto known = inodeOwners_.find(inode); known != inodeOwners_.end()) {
        return known->second;
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

std::optional<std::uint64_t> ProcessIdentifier::startTimeOf(int pid) const {
    const std::string stat = readSmallFile(procRoot_ + "/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 22) {
            return std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return std::nullopt;
}

namespace {

// systemd writes a '-' inside a unit name's parts as "\x2d" (and other bytes alike): the identifier is
// the name as the application gave it.
std::string unescapedUnitPart(const std::string& part) {
    std::string out;
    out.reserve(part.size());
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (part.compare(i, 2, "\\x") == 0 && i + 3 < part.size() && std::isxdigit(static_cast<unsigned char>(part[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(part[i + 3]))) {
            out += static_cast<char>(std::stoi(part.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += part[i];
        }
    }
    return out;
}

}  // namespace

std::string ProcessIdentifier::unitIdentifier(const std::string& cgroupPath) {
    return unescapedUnitPart(escapedUnitIdentifier(cgroupPath));
}

std::string ProcessIdentifier::escapedUnitIdentifier(const std::string& cgroupPath) {
    std::string unit = cgroupPath.substr(cgroupPath.rfind('/') + 1);
    const auto dropFrom = [&](char c) {
        const auto at = unit.rfind(c);
        return at == std::string::npos ? unit : unit.substr(0, at);
    };
    if (unit.starts_with("snap.") && unit.ends_with(".scope")) {
        // snap.<name>.<app>-<id>.scope: the snap's name is its application ID.
        const std::string rest = unit.substr(5);
        return rest.substr(0, rest.find('.'));
    }
    if (unit.starts_with("app-") && (unit.ends_with(".scope") || unit.ends_with(".service"))) {
        const bool scope = unit.ends_with(".scope");
        unit = unit.substr(4, unit.size() - 4 - (scope ? 6 : 8));
        const auto launcher = unit.find('-');
        if (launcher == std::string::npos) {
            return "";
        }
        unit = unit.substr(launcher + 1);
        if (scope) {
            unit = dropFrom('-');  // the instance suffix
        } else if (unit.find('@') != std::string::npos) {
            unit = dropFrom('@');
        }
        return unit;
    }
    if (unit.ends_with(".service") && unit.size() > 8) {
        return unit.substr(0, unit.size() - 8);
    }
    return "";
}

std::string ProcessIdentifier::unitOf(int pid) const {
    std::istringstream cgroups(readSmallFile(procRoot_ + "/" + std::to_string(pid) + "/cgroup"));
    std::string line, unified, named;
    while (std::getline(cgroups, line)) {
        if (line.starts_with("0::")) {
            unified = line.substr(3);
        } else if (line.find(":name=systemd:") != std::string::npos) {
            named = line.substr(line.find(":name=systemd:") + 14);
        }
    }
    for (const auto& path : {unified, named}) {
        if (std::string id = unitIdentifier(path); !id.empty()) {
            return id;
        }
    }
    return "";
}

std::string ProcessIdentifier::executableOf(int pid) const {
    char exe[4096];
    const ssize_t length = ::readlink((procRoot_ + "/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
    return length > 0 ? std::string(exe, size_t(length)) : "";
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
        if (const auto known = lives_.find(pid);
            known != lives_.end() && known->second.stamp == stamp && known->second.cgroup == cgroup) {
            return known->second.identifier;
        }
        ++statistics_.processReads;
        // Every process of a cgroup has the unit name it gives: read once per cgroup, not per process.
        if (const auto known = unitsByCgroup_.find(cgroup); known != unitsByCgroup_.end()) {
            unit = known->second;
        }
        if (const auto known = pathsByFile_.find(file); exeInode != 0 && known != pathsByFile_.end()) {
            path = known->second;
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
        if (pathsByFile_.size() > 4096) {
            pathsByFile_.clear();
        }
        pathsByFile_.emplace(file, *path);
    }
    if (!cgroupKnown && cgroup != 0) {
        if (unitsByCgroup_.size() > 4096) {
            unitsByCgroup_.clear();
        }
        unitsByCgroup_.emplace(cgroup, *unit);
    }
    if (lives_.size() > 4096) {
        lives_.clear();  // mostly processes that have ended; the live ones are read again once
    }
    lives_.insert_or_assign(pid, ProcessLife{stamp, cgroup, identifier});
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
        DIR* proc = ::opendir(procRoot_.c_str());
        if (!proc) {
            break;
        }
        while (const dirent* entry = ::readdir(proc)) {
            struct stat info {};
            if (!numeric(entry->d_name) || ::fstatat(::dirfd(proc), entry->d_name, &info, 0) != 0 ||
                (info.st_uid == listener->uid) != ownerOnly) {
                continue;
            }
            const int pid = std::atoi(entry->d_name);
            if (scanProcess(pid, listener->inode)) {
                found.push_back(pid);
            }
        }
        ::closedir(proc);
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

    const auto startTime = startTimeOf(*pid);
    if (!startTime) {
        return "";
    }
    if (const auto known = identities_.find(*pid); known != identities_.end() && known->second.startTime == *startTime) {
        return known->second.identifier;
    }
    std::string identifier = identityOf(*pid);
    if (identities_.size() > 4096) {
        identities_.clear();  // exited processes; the live ones are found again cheaply
    }
    identities_[*pid] = Identity{*startTime, identifier};
    return identifier;
}

}  // namespace sentorix::linux_system
