#pragma once

#include "NETransparentProxyNetworkSettings.h"
#include "Result.h"
#include "kernel/InterceptionMaps.h"

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace sentorix::linux_system {

// What the redirecting side recorded about a redirected connection.
struct FlowOrigin {
    asio::ip::tcp::endpoint destination;
    int pid = 0;
    std::uint64_t stamp = 0;  // with the pid, names one process's life
    std::uint64_t cgroup = 0;
    std::uint64_t exeInode = 0;  // the executable file (0 when unknown) and its device
    std::uint32_t exeDevice = 0;
};

// Sends the connections the settings' rules include to the interception listener: the kernel programs
// where they load, the nftables table where not. Only the kernel programs know processes; the table
// answers their questions with nothing.
class FlowRedirection {
public:
    // Set on every socket of ours, so that the redirection never takes them.
    static constexpr std::uint32_t OwnMark = 0x5e17;
    // A process, or a refused UDP flow, the redirection saw.
    using Reports = std::function<void(const sentorix_event&)>;
    // Made once, on the first settings, off the flow threads (loading may take a while).
    using Factory = std::function<std::shared_ptr<FlowRedirection>(Reports reports)>;

    // What the services know of processes, asked while the rules are applied.
    struct Processes {
        std::function<std::vector<int>()> proxyProcesses;
        // Whether every flow of this running process is declined; empty without a provider.
        std::function<bool(int pid, const sentorix_identity& identity)> declinesEveryFlow;
    };

    virtual ~FlowRedirection() = default;

    // Redirects the included TCP rules to the listener's port, leaving our own marked sockets alone.
    virtual Result<void> apply(const NETransparentProxyNetworkSettings& settings, std::uint16_t listenerPort,
                               bool listenerHasIPv6, const Processes& processes) = 0;
    // Nothing is redirected while the provider claims no flow.
    virtual void setClaiming(bool claiming) = 0;
    // The record of an accepted connection, read once; none where the listener asks connection tracking.
    virtual std::optional<FlowOrigin> takeOrigin(const asio::ip::tcp::endpoint& application) = 0;
    // A process found to hold the proxy's listener: its connections stay its own.
    virtual void markProxyProcess(int pid) = 0;
    // A process whose every flow is declined: its next connect() stays its own.
    virtual void publishDirect(int pid, std::uint64_t stamp) = 0;
    // An identity (cgroup and executable) decided: when `direct`, none of its processes is redirected.
    virtual void publishIdentity(const sentorix_identity& identity, bool direct) = 0;
    // Puts back what the service took away while this process did not answer. Blocks briefly.
    virtual Result<void> reassert() = 0;
    // Removes the redirection; nothing is reported afterwards.
    virtual void stop() = 0;
};

// The local proxy: the settings' tunnel address, on the port of the excluded rule for that address.
asio::ip::tcp::endpoint proxyEndpointOf(const NETransparentProxyNetworkSettings& settings);

// The kernel programs, unless SENTORIX_INTERCEPTION=nftables or they cannot load; then nftables.
std::shared_ptr<FlowRedirection> chooseFlowRedirection(FlowRedirection::Reports reports);

}  // namespace sentorix::linux_system
