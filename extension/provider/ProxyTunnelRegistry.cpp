#include "ProxyTunnelRegistry.h"

#include "tunnel/SXTunnelConnection.h"

#include <utility>

namespace sentorix {

ProxyTunnelRegistry::ProxyTunnelRegistry(std::int64_t maxPendingHandshakes)
    : activeTunnelsQueue(DispatchQueue::create("com.sentorix.activeTunnels", DispatchQueue::Kind::Concurrent)),
      tunnelAdmissionController(maxPendingHandshakes) {}

void ProxyTunnelRegistry::observeHandshakes(std::weak_ptr<HandshakeObserver> observer) {
    std::call_once(observerSet_, [&] { observer_ = std::move(observer); });
}

// A tunnel reports only after it was added, and it was added after the observer was set: the call_once
// that set it is ordered before every read here.
std::shared_ptr<ProxyTunnelRegistry::HandshakeObserver> ProxyTunnelRegistry::observer() const {
    return observer_.lock();
}

bool ProxyTunnelRegistry::admit(const std::string& flowId) {
    return tunnelAdmissionController.tryAcquireHandshakeSlot(flowId);
}

void ProxyTunnelRegistry::withdraw(const std::string& flowId) { tunnelAdmissionController.releaseHandshakeSlot(flowId); }

void ProxyTunnelRegistry::add(std::shared_ptr<SXTunnelConnection> tunnel) {
    activeTunnelsQueue->asyncBarrier([self = shared_from_this(), tunnel = std::move(tunnel)] {
        self->activeTunnels.emplace(tunnel->flowId(), tunnel);
    });
}

void ProxyTunnelRegistry::releaseAll() {
    decltype(activeTunnels) released;
    activeTunnelsQueue->syncBarrier([&] { released.swap(activeTunnels); });
}

std::size_t ProxyTunnelRegistry::count() const {
    std::size_t count = 0;
    activeTunnelsQueue->sync([&] { count = activeTunnels.size(); });
    return count;
}

void ProxyTunnelRegistry::tunnelEstablished(const std::string& flowId) {
    tunnelAdmissionController.markHandshakeEstablished(flowId);
    if (const auto health = observer()) {
        health->handshakeSucceeded();
    }
}

void ProxyTunnelRegistry::tunnelFailedBeforeEstablished(PreHandshakeFailure failure, const std::string& target) {
    if (const auto health = observer()) {
        health->handshakeFailed(failure, target);
    }
}

void ProxyTunnelRegistry::tunnelClosed(const std::string& flowId) {
    // Removed on the queue, after its insertion; the slot is released at once.
    activeTunnelsQueue->asyncBarrier([weak = weak_from_this(), id = flowId] {
        if (const auto self = weak.lock()) {
            self->activeTunnels.erase(std::string_view(id));
        }
    });
    tunnelAdmissionController.releaseHandshakeSlot(flowId);
}

}  // namespace sentorix
