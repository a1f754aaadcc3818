#include "OSSystemExtensionRequest.h"

#include "ProcessWide.h"

namespace sentorix {

namespace {
ProcessWide<OSSystemExtensionManager> sharedExtensionManager;
}  // namespace

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::activationRequest(
    std::string identifier, std::shared_ptr<MainQueue> queue) {
    return std::make_shared<OSSystemExtensionRequest>(Kind::activation, std::move(identifier), std::move(queue));
}

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::deactivationRequest(
    std::string identifier, std::shared_ptr<MainQueue> queue) {
    return std::make_shared<OSSystemExtensionRequest>(Kind::deactivation, std::move(identifier), std::move(queue));
}

std::shared_ptr<OSSystemExtensionManager> OSSystemExtensionManager::sharedManager() {
    return sharedExtensionManager.get();
}
void OSSystemExtensionManager::setShared(std::shared_ptr<OSSystemExtensionManager> manager) {
    sharedExtensionManager.set(std::move(manager));
}

}  // namespace sentorix
