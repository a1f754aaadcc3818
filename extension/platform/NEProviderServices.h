#pragma once

#include "NETransparentProxyNetworkSettings.h"
#include "NEVPNProtocol.h"
#include "NWHostEndpoint.h"
#include "NWTCPConnection.h"
#include "NSError.h"

#include <functional>
#include <memory>

namespace sentorix {

// What the platform does for a provider: the calls a provider makes on its own base class.
class NEProviderServices {
public:
    virtual ~NEProviderServices() = default;

    virtual std::shared_ptr<const NEVPNProtocol> protocolConfiguration() const = 0;
    virtual void setTunnelNetworkSettings(std::shared_ptr<const NETransparentProxyNetworkSettings> settings,
                                          std::function<void(OptionalError)> completionHandler) = 0;
    virtual std::shared_ptr<NWTCPConnection> createTCPConnection(const NWHostEndpoint& endpoint) = 0;
    // While false the provider takes no new flow at all, so the system may leave new flows alone
    // rather than hand them over. Until the first call the system assumes false.
    virtual void setClaimsNewFlows(bool) {}
};

}  // namespace sentorix
