#include "KernelInterception.h"

#include "AddressWords.h"
#include "ProcFS.h"
#include "UniqueFd.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

// The compiled programs, embedded by the build.
extern const unsigned char sentorixInterceptionObject[];
extern const std::size_t sentorixInterceptionObjectSize;

namespace sentorix::linux_system {

namespace {

thread_local std::string* libbpfMessages = nullptr;

int collectLibbpfMessage(libbpf_print_level level, const char* format, va_list arguments) {
    if (level == LIBBPF_DEBUG || !libbpfMessages) {
        return 0;
    }
    char line[512];
    std::vsnprintf(line, sizeof line, format, arguments);
    if (libbpfMessages->size() < 2048) {
        *libbpfMessages += line;
    }
    return 0;
}

// Where the unified cgroup hierarchy is mounted: /sys/fs/cgroup, or /sys/fs/cgroup/unified on hybrid
// systems.
std::optional<std::string> cgroup2Mount() {
    std::ifstream mounts("/proc/self/mounts");
    std::string device, path, type;
    std::string rest;
    while (mounts >> device >> path >> type && std::getline(mounts, rest)) {
        if (type == "cgroup2") {
            return path;
        }
    }
    return std::nullopt;
}

// The root of the unified hierarchy, opened. Where it is not mounted in our view (as under
// `ip netns exec`, which mounts a sysfs of its own), it is mounted on a private directory just long
// enough to open it: the descriptor keeps naming the root afterwards.
Result<UniqueFd> openCgroup2Root() {
    if (const auto mount = cgroup2Mount()) {
        UniqueFd fd(::open(mount->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.valid()) {
            return failure(errno, "cannot open " + *mount + ": " + std::strerror(errno));
        }
        return fd;
    }
    char directory[] = "/tmp/sentorix-cgroup.XXXXXX";
    if (!::mkdtemp(directory)) {
        return failure(errno, "cannot make a directory for the cgroup hierarchy: " + std::string(std::strerror(errno)));
    }
    Result<UniqueFd> fd = UniqueFd();
    if (::mount("cgroup2", directory, "cgroup2", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        fd = failure(errno, "no cgroup v2 hierarchy is mounted, and mounting one failed: " + std::string(std::strerror(errno)));
    } else {
        fd = UniqueFd(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd->valid()) {
            fd = failure(errno, "cannot open the cgroup hierarchy: " + std::string(std::strerror(errno)));
        }
        ::umount2(directory, MNT_DETACH);
    }
    ::rmdir(directory);
    return fd;
}

// Where the programs name processes from: this process's pid namespace, and whether the kernel answers
// for it in socket programs (6.10 on) or the programs read each task's struct pid themselves.
std::optional<sentorix_pid_view> ownPidView(bool askKernel) {
    struct stat ns {};
    if (::stat("/proc/self/ns/pid", &ns) != 0) {
        return std::nullopt;
    }
    sentorix_pid_view view{};
    view.dev = ns.st_dev;
    view.ino = ns.st_ino;
    view.helper = askKernel &&
                  libbpf_probe_bpf_helper(BPF_PROG_TYPE_CGROUP_SOCK_ADDR, BPF_FUNC_get_ns_current_pid_tgid,
                                          nullptr) == 1 &&
                  libbpf_probe_bpf_helper(BPF_PROG_TYPE_CGROUP_SOCK, BPF_FUNC_get_ns_current_pid_tgid, nullptr) == 1;
    return view;
}

bool setPidView(bpf_object* object, const sentorix_pid_view& view) {
    bpf_map* map = nullptr;
    bpf_object__for_each_map(map, object) {
        if (std::string_view(bpf_map__name(map)).starts_with(".rodata.pid")) {
            return bpf_map__set_initial_value(map, &view, sizeof view) == 0;
        }
    }
    return false;
}

std::optional<std::uint64_t> ownNetnsCookie() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    std::uint64_t cookie = 0;
    socklen_t length = sizeof cookie;
    const int status = ::getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &length);
    ::close(fd);
    return status == 0 ? std::optional(cookie) : std::nullopt;
}

}  // namespace

Result<std::unique_ptr<KernelInterception>> KernelInterception::load(bool askKernelForPids) {
    auto opened = openCgroup2Root();
    if (!opened) {
        return opened.error();
    }
    UniqueFd cgroup = std::move(*opened);
    const auto cookie = ownNetnsCookie();
    if (!cookie) {
        return failure(errno, "cannot read the network namespace's cookie: " + std::string(std::strerror(errno)));
    }
    std::string messages;
    libbpfMessages = &messages;
    libbpf_set_print(collectLibbpfMessage);
    std::unique_ptr<KernelInterception> self(new KernelInterception());
    const auto fail = [&](const std::string& what) -> Result<std::unique_ptr<KernelInterception>> {
        const int code = errno != 0 ? errno : EINVAL;
        while (!messages.empty() && messages.back() == '\n') {
            messages.pop_back();
        }
        libbpfMessages = nullptr;
        return failure(code, what + (messages.empty() ? "" : " (" + messages.substr(messages.rfind('\n') + 1) + ")"));
    };
    self->object_ = bpf_object__open_mem(sentorixInterceptionObject, sentorixInterceptionObjectSize, nullptr);
    if (!self->object_) {
        return fail("cannot open the kernel programs: " + std::string(std::strerror(errno)));
    }
    const auto pidView = ownPidView(askKernelForPids);
    if (!pidView) {
        return fail("cannot read the pid namespace: " + std::string(std::strerror(errno)));
    }
    if (!setPidView(self->object_, *pidView)) {
        return fail("the kernel programs have no place for the pid namespace");
    }
    self->pidsFromKernel_ = pidView->helper != 0;
    if (bpf_object__load(self->object_) != 0) {
        return fail("cannot load the kernel programs: " + std::string(std::strerror(errno)));
    }
    bpf_program* program = nullptr;
    bpf_object__for_each_program(program, self->object_) {
        const bpf_prog_type type = bpf_program__type(program);
        bpf_link* link = type == BPF_PROG_TYPE_TRACING ? bpf_program__attach(program)
                                                        : bpf_program__attach_cgroup(program, cgroup.get());
        if (!link) {
            return fail("cannot attach " + std::string(bpf_program__name(program)) + ": " + std::strerror(errno));
        }
        self->links_.emplace_back(program, link);
    }
    self->cgroupRoot_ = std::move(cgroup);
    struct stat netns {};
    if (::stat("/proc/thread-self/ns/net", &netns) != 0) {
        return fail("cannot read the network namespace: " + std::string(std::strerror(errno)));
    }
    self->netnsInode_ = netns.st_ino;
    self->configMap_ = bpf_object__find_map_fd_by_name(self->object_, "config");
    self->rulesMap_ = bpf_object__find_map_fd_by_name(self->object_, "rules");
    self->processesMap_ = bpf_object__find_map_fd_by_name(self->object_, "processes");
    self->byPortMap_ = bpf_object__find_map_fd_by_name(self->object_, "by_port");
    self->identitiesMap_ = bpf_object__find_map_fd_by_name(self->object_, "identities");
    self->eventsMap_ = bpf_object__find_map_fd_by_name(self->object_, "events");
    sentorix_config config{};
    config.netns_cookie = *cookie;
    config.own_tgid = static_cast<std::uint32_t>(::getpid());
    const std::uint32_t zero = 0;
    if (bpf_map_update_elem(self->configMap_, &zero, &config, BPF_ANY) != 0) {
        return fail("cannot configure the kernel programs: " + std::string(std::strerror(errno)));
    }
    libbpfMessages = nullptr;
    return Result<std::unique_ptr<KernelInterception>>(std::move(self));
}

KernelInterception::~KernelInterception() {
    for (auto& entry : links_) {
        bpf_link__destroy(entry.second);
    }
    bpf_object__close(object_);
}

Result<int> KernelInterception::reattachDetached() {
    std::lock_guard lock(linksMutex_);
    int attached = 0;
    for (auto& [program, link] : links_) {
        bpf_link_info info{};
        __u32 length = sizeof info;
        if (bpf_obj_get_info_by_fd(bpf_link__fd(link), &info, &length) != 0) {
            return failure(errno, std::string("cannot read link of ") + bpf_program__name(program) + ": " + std::strerror(errno));
        }
        // A detached cgroup link keeps its descriptor but names no cgroup any more.
        if (info.type != BPF_LINK_TYPE_CGROUP || info.cgroup.cgroup_id != 0) {
            continue;
        }
        bpf_link* again = bpf_program__attach_cgroup(program, cgroupRoot_.get());
        if (!again) {
            return failure(errno, std::string("cannot attach ") + bpf_program__name(program) + " again: " +
                                      std::strerror(errno));
        }
        bpf_link__destroy(link);
        link = again;
        ++attached;
    }
    return attached;
}

std::optional<std::vector<sentorix_rule>> KernelInterception::kernelRules(
    const NETransparentProxyNetworkSettings& settings) {
    std::vector<sentorix_rule> out;
    const auto add = [&](const NENetworkRule& rule, bool include) {
        std::error_code code;
        const auto address = asio::ip::make_address(rule.matchRemoteEndpoint().hostname(), code);
        if (code) {
            return;  // a rule by name cannot be matched at connect()
        }
        sentorix_rule kernel{};
        kernel.family = address.is_v4() ? AF_INET : AF_INET6;
        copyAddressWords(kernel.addr, address);
        kernel.prefix = static_cast<std::uint8_t>(std::min<std::size_t>(rule.matchRemotePrefix(), address.is_v4() ? 32 : 128));
        const std::string& port = rule.matchRemoteEndpoint().port();
        kernel.port = port.empty() ? 0 : static_cast<std::uint16_t>(std::strtoul(port.c_str(), nullptr, 10));
        kernel.include = include ? 1 : 0;
        kernel.protocol = rule.matchProtocol() == NENetworkRuleProtocol::UDP ? IPPROTO_UDP : IPPROTO_TCP;
        out.push_back(kernel);
        if (rule.matchProtocol() == NENetworkRuleProtocol::Any) {
            kernel.protocol = IPPROTO_UDP;
            out.push_back(kernel);
        }
    };
    // Excluded rules win: they come first, and the first match decides.
    for (const auto& rule : settings.excludedNetworkRules.value_or(std::vector<NENetworkRule>{})) {
        add(rule, false);
    }
    for (const auto& rule : settings.includedNetworkRules.value_or(std::vector<NENetworkRule>{})) {
        add(rule, true);
    }
    if (out.size() > SENTORIX_MAX_RULES) {
        return std::nullopt;
    }
    return out;
}

Result<void> KernelInterception::writeConfig(const std::function<void(sentorix_config&)>& change) {
    std::lock_guard lock(configMutex_);
    const std::uint32_t zero = 0;
    sentorix_config config{};
    if (bpf_map_lookup_elem(configMap_, &zero, &config) != 0) {
        return failure(errno, "cannot configure the kernel programs: " + std::string(std::strerror(errno)));
    }
    change(config);
    if (bpf_map_update_elem(configMap_, &zero, &config, BPF_ANY) != 0) {
        return failure(errno, "cannot configure the kernel programs: " + std::string(std::strerror(errno)));
    }
    return {};
}

Result<void> KernelInterception::configure(const NETransparentProxyNetworkSettings& settings,
                                           std::uint16_t listenerPort, const asio::ip::tcp::endpoint& proxy,
                                           bool listenerHasIPv6) {
    const auto rules = kernelRules(settings);
    if (!rules) {
        return failure(E2BIG, "more than " + std::to_string(SENTORIX_MAX_RULES) + " network rules");
    }
    // Shrink first so that the programs never read a half-written list, then write, then grow.
    if (auto shrunk = writeConfig([](sentorix_config& c) { c.rule_count = 0; }); !shrunk) {
        return shrunk;
    }
    for (std::uint32_t index = 0; index < rules->size(); ++index) {
        if (bpf_map_update_elem(rulesMap_, &index, &(*rules)[index], BPF_ANY) != 0) {
            return failure(errno, "cannot write the network rules: " + std::string(std::strerror(errno)));
        }
    }
    return writeConfig([&](sentorix_config& c) {
        c.listener_port = listenerPort;
        c.listener_v6 = listenerHasIPv6 ? 1 : 0;
        c.proxy_port = proxy.port();
        const auto address = unmapped(proxy.address());
        c.proxy_family = address.is_v4() ? AF_INET : AF_INET6;
        copyAddressWords(c.proxy_addr, address);
        c.rule_count = static_cast<std::uint8_t>(rules->size());
    });
}

void KernelInterception::setClaiming(bool claiming) {
    // A config that cannot be read cannot be written either: the programs keep what they had.
    static_cast<void>(writeConfig([claiming](sentorix_config& c) { c.claiming = claiming ? 1 : 0; }));
}

std::optional<KernelInterception::Origin> KernelInterception::takeOrigin(const asio::ip::tcp::endpoint& application) {
    sentorix_port_key key{};
    key.port = application.port();
    const auto address = unmapped(application.address());
    key.family = address.is_v4() ? AF_INET : AF_INET6;
    copyAddressWords(key.addr, address);
    sentorix_origin origin{};
    if (bpf_map_lookup_and_delete_elem(byPortMap_, &key, &origin) != 0) {
        return std::nullopt;
    }
    Origin out;
    // An IPv4 destination reached through an IPv6 socket is named as IPv4, as the proxy expects.
    out.destination = asio::ip::tcp::endpoint(addressFromWords(origin.family, origin.addr), origin.port);
    out.pid = static_cast<int>(origin.tgid);
    out.stamp = origin.stamp;
    out.cgroup = origin.cgroup;
    out.exeInode = origin.exe_inode;
    out.exeDevice = origin.exe_dev;
    return out;
}

void KernelInterception::publish(int pid, std::uint64_t stamp, Verdict verdict) {
    const auto key = static_cast<std::uint32_t>(pid);
    sentorix_process process{};
    if (bpf_map_lookup_elem(processesMap_, &key, &process) != 0 || process.stamp != stamp ||
        process.verdict != SENTORIX_UNDECIDED) {
        return;  // gone, replaced by a newer process with the same pid, or decided already
    }
    process.verdict = static_cast<std::uint8_t>(verdict);
    bpf_map_update_elem(processesMap_, &key, &process, BPF_EXIST);
}

void KernelInterception::publishIdentity(const sentorix_identity& identity, bool direct) {
    const std::uint8_t verdict = direct ? SENTORIX_IDENTITY_DIRECT : SENTORIX_IDENTITY_KNOWN;
    bpf_map_update_elem(identitiesMap_, &identity, &verdict, BPF_ANY);
}

namespace {

// The device numbers of mounted file systems as their superblocks have them, which is what the programs
// read. stat() may answer otherwise: btrfs gives each subvolume a number of its own.
class MountDevices {
public:
    // The device of the file system the process's `file` is on; from stat() where mounts cannot tell.
    std::uint32_t of(const std::string& process, const std::string& file) {
        struct statx found {};
        if (::statx(AT_FDCWD, (process + "/" + file).c_str(), 0, STATX_INO | STATX_MNT_ID, &found) != 0) {
            return 0;
        }
        const auto encoded = [](unsigned major, unsigned minor) { return (major << 20) | minor; };
        if (!(found.stx_mask & STATX_MNT_ID)) {
            return encoded(found.stx_dev_major, found.stx_dev_minor);
        }
        auto known = devices_.find(found.stx_mnt_id);
        if (known == devices_.end()) {
            read(process + "/mountinfo");  // another mount namespace: its mounts once
            known = devices_.find(found.stx_mnt_id);
        }
        return known != devices_.end() ? known->second : encoded(found.stx_dev_major, found.stx_dev_minor);
    }

private:
    void read(const std::string& path) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::uint64_t id = 0, parent = 0;
            unsigned major = 0, minor = 0;
            char colon = 0;
            if (fields >> id >> parent >> major >> colon >> minor && colon == ':') {
                devices_.emplace(id, (major << 20) | minor);
            }
        }
    }

    std::unordered_map<std::uint64_t, std::uint32_t> devices_;
};

}  // namespace

std::vector<std::pair<int, sentorix_identity>> KernelInterception::runningIdentities() const {
    std::vector<std::pair<int, sentorix_identity>> found;
    MountDevices devices;
    const ProcFS proc;
    const auto pids = proc.pids();
    if (!pids) {
        return found;
    }
    for (const int pid : *pids) {
        struct stat netns {}, program {};
        if (::stat(proc.path(pid, "ns/net").c_str(), &netns) != 0 || netns.st_ino != netnsInode_ ||
            ::stat(proc.path(pid, "exe").c_str(), &program) != 0) {
            continue;  // elsewhere, gone, or a kernel thread
        }
        const auto cgroups = proc.cgroupsOf(pid);
        const std::string path = cgroups && cgroups->unified.starts_with("/") ? cgroups->unified.substr(1) : "";
        struct stat group {};
        if (::fstatat(cgroupRoot_.get(), path.empty() ? "" : path.c_str(), &group, path.empty() ? AT_EMPTY_PATH : 0) != 0) {
            continue;
        }
        sentorix_identity identity{};
        identity.cgroup = group.st_ino;
        identity.exe_inode = program.st_ino;
        identity.exe_dev = devices.of(proc.path(pid), "exe");
        found.emplace_back(pid, identity);
    }
    return found;
}

void KernelInterception::markProxyProcess(int pid) {
    const auto key = static_cast<std::uint32_t>(pid);
    sentorix_process process{};
    process.verdict = SENTORIX_PROXY;
    bpf_map_update_elem(processesMap_, &key, &process, BPF_ANY);
}

std::optional<KernelInterception::Verdict> KernelInterception::verdictOf(int pid) const {
    const auto key = static_cast<std::uint32_t>(pid);
    sentorix_process process{};
    if (bpf_map_lookup_elem(processesMap_, &key, &process) != 0) {
        return std::nullopt;
    }
    return static_cast<Verdict>(process.verdict);
}

}  // namespace sentorix::linux_system
