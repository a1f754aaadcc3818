#include "OSSystemExtensionRequest.h"

#include <mutex>

namespace sentorix {

namespace {
std::mutex managerMutex;
std::shared_ptr<OSSystemExtensionManager> sharedExtensionManager;
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
    std::lock_guard lock(managerMutex);
    return sharedExtensionManager;
}

void OSSystemExtensionManager::setShared(std::shared_ptr<OSSystemExtensionManager> manager) {
    std::lock_guard lock(managerMutex);
    sharedExtensionManager = std::move(manager);
}

}  // namespace sentorix
