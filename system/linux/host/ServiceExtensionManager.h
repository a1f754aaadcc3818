#pragma once

#include "OSSystemExtensionRequest.h"
#include "DispatchQueue.h"
#include "ServiceClient.h"

#include <memory>

namespace sentorix::linux_system {

// Activation and deactivation, carried out by the service from its own application bundle. When an
// extension is already activated the service asks first; the request's delegate answers, and the
// activation is asked for again with that answer and the version it was about.
class ServiceExtensionManager : public OSSystemExtensionManager,
                                public std::enable_shared_from_this<ServiceExtensionManager> {
public:
    explicit ServiceExtensionManager(ServiceClient client);

    void submitRequest(std::shared_ptr<OSSystemExtensionRequest> request) override;

private:
    void carryOut(std::shared_ptr<OSSystemExtensionRequest> request, ControlMessage::Dictionary asked);

    const ServiceClient client_;
    const std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace sentorix::linux_system
