#pragma once

#include "FlowRedirection.h"
#include "NETransparentProxyNetworkSettings.h"
#include "Result.h"
#include "UniqueFd.h"
#include "kernel/InterceptionMaps.h"

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct bpf_object;
struct bpf_link;
struct bpf_program;

namespace sentorix::linux_system {

// The kernel programs that decide at connect() which TCP connections reach the interception listener and
// which UDP flows are refused:
// attached to the root of the cgroup v2 hierarchy, acting only in this process's network namespace, and
// detached by the kernel when this process ends (links, not pinned programs).
class KernelInterception {
public:
    enum class Verdict : std::uint8_t { undecided = 0, direct = 1, proxy = 2 };

    // What the kernel recorded about a redirected connection.
    using Origin = FlowOrigin;

    // Loads and attaches the programs; an error where the kernel or the machine cannot.
    // Without `askKernelForPids` the programs read pids as kernels before 6.10 make them.
    static Result<std::unique_ptr<KernelInterception>> load(bool askKernelForPids = true);
    ~KernelInterception();
    KernelInterception(const KernelInterception&) = delete;
    KernelInterception& operator=(const KernelInterception&) = delete;

    // The included and excluded TCP rules, the listener to redirect to and the proxy whose processes
    // keep their own connections. Redirecting starts only with `setClaiming(true)`.
    // IPv6 connections are redirected only to a listener that has an IPv6 socket (on ::1).
    Result<void> configure(const NETransparentProxyNetworkSettings& settings,
                                         std::uint16_t listenerPort, const asio::ip::tcp::endpoint& proxy,
                                         bool listenerHasIPv6 = true);
    void setClaiming(bool claiming);

    // The record of the connection whose application socket has this local port, removed as it is read.
    std::optional<Origin> takeOrigin(const asio::ip::tcp::endpoint& application);

    // What user space learnt about a process: its next connect() is decided in the kernel. Ignored
    // when `stamp` names an earlier process with the same pid.
    void publish(int pid, std::uint64_t stamp, Verdict verdict);
    // What user space learnt about an identity (cgroup and executable): when `direct`, no process with it
    // is redirected or refused any more.
    void publishIdentity(const sentorix_identity& identity, bool direct);
    // The identity of every process already running in this network namespace, for what started before
    // the programs could report it. Meant for start-up, never for a flow's path.
    std::vector<std::pair<int, sentorix_identity>> runningIdentities() const;
    // The ring the programs report processes and refused UDP flows on (sentorix_event records).
    int eventsMap() const { return eventsMap_; }
    // True when the kernel names processes in this pid namespace for the socket programs; false when
    // the programs read it from each task's struct pid (kernels before 6.10).
    bool pidsFromKernel() const { return pidsFromKernel_; }

    // A process found to hold the proxy's listener before the programs could see it bind.
    void markProxyProcess(int pid);
    std::optional<Verdict> verdictOf(int pid) const;
    // Attaches again the programs whose links were detached from outside (the service, while this
    // process did not answer); the count attached.
    Result<int> reattachDetached();

    // The rules as the kernel reads them; nullopt when there are more than it holds.
    static std::optional<std::vector<sentorix_rule>> kernelRules(const NETransparentProxyNetworkSettings& settings);

private:
    KernelInterception() = default;
    Result<void> writeConfig(const std::function<void(sentorix_config&)>& change);

    UniqueFd cgroupRoot_;  // where cgroup paths are resolved to the kernel's cgroup ids
    bool pidsFromKernel_ = false;
    std::uint64_t netnsInode_ = 0;  // the namespace the programs act in: the loading thread's
    bpf_object* object_ = nullptr;
    std::vector<std::pair<bpf_program*, bpf_link*>> links_;
    std::mutex linksMutex_;
    int configMap_ = -1, rulesMap_ = -1, processesMap_ = -1, byPortMap_ = -1, identitiesMap_ = -1, eventsMap_ = -1;
    std::mutex configMutex_;  // serialises read-modify-write of the one config entry
};

}  // namespace sentorix::linux_system
