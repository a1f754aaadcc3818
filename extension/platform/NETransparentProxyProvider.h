#pragma once

#include "NEAppProxyFlow.h"
#include "NEProviderServices.h"
#include "PeekedHostname.h"
#include "PropertyListValue.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace sentorix {

// Why the platform stops a provider; only the integer code travels on.
enum class NEProviderStopReason : int {
    None = 0,
    UserInitiated = 1,
    ProviderFailed = 2,
    NoNetworkAvailable = 3,
    UnrecoverableNetworkChange = 4,
    ProviderDisabled = 5,
    AuthenticationCanceled = 6,
    ConfigurationFailed = 7,
    IdleTimeout = 8,
    ConfigurationDisabled = 9,
    ConfigurationRemoved = 10,
    Superceded = 11,
    UserLogout = 12,
    UserSwitch = 13,
    ConnectionFailed = 14,
    Sleep = 15,
    AppUpdate = 16,
};

// The platform's transparent proxy provider: the platform drives the three virtual operations, and the
// provider reaches the platform through the calls below.
class NETransparentProxyProvider {
public:
    explicit NETransparentProxyProvider(std::shared_ptr<NEProviderServices> services)
        : services_(std::move(services)) {}
    virtual ~NETransparentProxyProvider() = default;

    NETransparentProxyProvider(const NETransparentProxyProvider&) = delete;
    NETransparentProxyProvider& operator=(const NETransparentProxyProvider&) = delete;

    virtual void startProxy(const std::optional<PropertyListValue::Dictionary>& options,
                            std::function<void(OptionalError)> completionHandler) = 0;
    virtual void stopProxy(NEProviderStopReason reason, std::function<void()> completionHandler) = 0;
    // True when the provider takes the flow, false when the platform is to carry it.
    virtual bool handleNewFlow(const std::shared_ptr<NEAppProxyFlow>& flow) = 0;
    // True when every flow of this application is declined, whatever its destination and whenever it
    // comes: the platform may then stop handing that application's flows over at all.
    virtual bool declinesEveryFlowOf(const std::string& /*appId*/) const { return false; }
    // The host a TCP flow's first bytes name (a TLS ClientHello's server name, an HTTP request's Host),
    // given what the application has sent so far, unconsumed.
    virtual PeekedHostname hostnameInFirstBytes(std::span<const std::uint8_t> /*bytes*/) const { return {}; }
    // True when a TCP flow is declined for this host name alone: the platform then names the host to the
    // provider only when the flow's address is one of the name's.
    virtual bool declinesFlowsTo(const std::string& /*hostname*/) const { return false; }

    std::shared_ptr<const NEVPNProtocol> protocolConfiguration() const { return services_->protocolConfiguration(); }
    void setTunnelNetworkSettings(std::shared_ptr<const NETransparentProxyNetworkSettings> settings,
                                  std::function<void(OptionalError)> completionHandler) {
        services_->setTunnelNetworkSettings(std::move(settings), std::move(completionHandler));
    }
    // TLS is never used here, so the call takes the endpoint alone.
    std::shared_ptr<NWTCPConnection> createTCPConnection(const NWHostEndpoint& endpoint) {
        return services_->createTCPConnection(endpoint);
    }

    void setClaimsNewFlows(bool claims) { services_->setClaimsNewFlows(claims); }

private:
    std::shared_ptr<NEProviderServices> services_;
};

}  // namespace sentorix
