#include "ProxyTunnelAdmissionController.h"

namespace sentorix {

ProxyTunnelAdmissionController::ProxyTunnelAdmissionController(std::int64_t maxPendingHandshakes)
    : maxPendingHandshakes_(maxPendingHandshakes) {}

bool ProxyTunnelAdmissionController::tryAcquireHandshakeSlot(const std::string& flowId) {
    std::lock_guard lock(lock_);
    if (pendingHandshakeIDs_.contains(flowId) || establishedTunnelIDs_.contains(flowId)) {
        return true;
    }
    if (static_cast<std::int64_t>(pendingHandshakeIDs_.size()) >= maxPendingHandshakes_) {
        return false;
    }
    pendingHandshakeIDs_.insert(flowId);
    return true;
}

void ProxyTunnelAdmissionController::markHandshakeEstablished(const std::string& flowId) {
    std::lock_guard lock(lock_);
    pendingHandshakeIDs_.erase(flowId);
    establishedTunnelIDs_.insert(flowId);
}

void ProxyTunnelAdmissionController::releaseHandshakeSlot(const std::string& flowId) {
    std::lock_guard lock(lock_);
    pendingHandshakeIDs_.erase(flowId);
    establishedTunnelIDs_.erase(flowId);
}

std::size_t ProxyTunnelAdmissionController::pendingHandshakeCount() const {
    std::lock_guard lock(lock_);
    return pendingHandshakeIDs_.size();
}

std::size_t ProxyTunnelAdmissionController::establishedTunnelCount() const {
    std::lock_guard lock(lock_);
    return establishedTunnelIDs_.size();
}

}  // namespace sentorix
