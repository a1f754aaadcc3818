#pragma once

#include "FlowRedirection.h"
#include "HostnameResolver.h"
#include "InterceptionListener.h"
#include "ProcessIdentifier.h"
#include "ProxyLoopGuard.h"
#include "SocketTCPConnection.h"
#include "NEProviderServices.h"
#include "NETransparentProxyProvider.h"

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace sentorix::linux_system {

// What the operating system does for the provider on Linux: rules (through the redirection it is
// given), interception of the redirected connections, the refused UDP flows, process identity, the
// system's own carrying of declined flows, and connections to the proxy.
class LinuxProviderServices : public NEProviderServices, public std::enable_shared_from_this<LinuxProviderServices> {
public:
    // Set on every socket of ours, so that the rules never redirect them.
    static constexpr std::uint32_t OwnMark = FlowRedirection::OwnMark;

    // `redirection` is made on the first settings, off the flow threads.
    LinuxProviderServices(std::shared_ptr<const NEVPNProtocol> protocol, FlowRedirection::Factory redirection);
    ~LinuxProviderServices() override;

    void attach(std::weak_ptr<NETransparentProxyProvider> provider);

    std::shared_ptr<const NEVPNProtocol> protocolConfiguration() const override { return protocol_; }
    void setTunnelNetworkSettings(std::shared_ptr<const NETransparentProxyNetworkSettings> settings,
                                  std::function<void(OptionalError)> completionHandler) override;
    std::shared_ptr<NWTCPConnection> createTCPConnection(const NWHostEndpoint& endpoint) override;
    void setClaimsNewFlows(bool claims) override;

    // Stops intercepting and removes the rules.
    void stop();
    // Puts back the redirection the service took away while this process did not answer: the tunnels
    // kept, new connections are redirected again. Blocks briefly.
    Result<void> reassertRedirection();

private:
    // What identifies processes, as of now (both null before the first rules).
    std::pair<std::shared_ptr<ProcessIdentifier>, std::shared_ptr<FlowRedirection>> identification();
    void intercepted(FlowSocket socket, asio::ip::tcp::endpoint application,
                     asio::ip::tcp::endpoint destination, std::optional<FlowOrigin> origin);
    // The listener open and the rules applied; rulesMutex_ held.
    Result<void> applyLocked(const NETransparentProxyNetworkSettings& settings);
    // A connection to the proxy begun while a flow's first bytes were awaited, on the flow's strand.
    struct Prepared {
        std::shared_ptr<SocketTCPConnection> connection;
        std::optional<NWHostEndpoint> endpoint;
    };
    // After the first bytes were looked at: proves a deciding name against the address, then decides.
    void named(FlowSocket socket, std::string appId, asio::ip::tcp::endpoint destination,
               std::string hostname, Prepared early);
    void decide(FlowSocket socket, std::string appId, asio::ip::tcp::endpoint destination,
                std::string hostname, Prepared early);
    void carryDirectly(FlowSocket socket, asio::ip::tcp::endpoint destination);
    // A process or a refused UDP flow the redirection reported.
    void reported(const sentorix_event& event);

    const std::shared_ptr<const NEVPNProtocol> protocol_;
    std::weak_ptr<NETransparentProxyProvider> provider_;
    const std::shared_ptr<HostnameResolver> resolver_;
    InterceptionListener listener_;
    const FlowRedirection::Factory makeRedirection_;
    std::mutex rulesMutex_;  // guards redirection_, claims_, proxy_ and identifier_ creation
    std::shared_ptr<FlowRedirection> redirection_;
    bool claims_ = false;
    std::shared_ptr<ProcessIdentifier> identifier_;
    ProxyLoopGuard loopGuard_;
    std::optional<NWHostEndpoint> proxy_;  // the local proxy, once the rules name it
};

}  // namespace sentorix::linux_system
