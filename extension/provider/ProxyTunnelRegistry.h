#pragma once

#include "ProxyTunnelAdmissionController.h"
#include "platform/DispatchQueue.h"
#include "tunnel/SXTunnelConnectionOwner.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace sentorix {

class SXTunnelConnection;

// Keeps every live tunnel, and is the owner each one reports to: from its start until it says it has
// closed, and holds the handshake slots the tunnels take. Every change of the registry is a barrier
// block on its queue, so that changes never overlap.
class ProxyTunnelRegistry final : public SXTunnelConnectionOwner,
                            public std::enable_shared_from_this<ProxyTunnelRegistry> {
public:
    // What the proxy's health learns from the tunnels' handshakes.
    class HandshakeObserver {
    public:
        virtual void handshakeSucceeded() = 0;
        virtual void handshakeFailed(PreHandshakeFailure failure, const std::string& target) = 0;

    protected:
        ~HandshakeObserver() = default;
    };

    explicit ProxyTunnelRegistry(std::int64_t maxPendingHandshakes);

    // Set once, before the first tunnel; later calls change nothing. Held weakly.
    void observeHandshakes(std::weak_ptr<HandshakeObserver> observer);

    // A handshake slot for a new flow, or false when too many are pending.
    bool admit(const std::string& flowId);
    // Gives back the slot of a flow that got no tunnel after all.
    void withdraw(const std::string& flowId);
    // Keeps the tunnel until it reports closed; the caller does not wait.
    void add(std::shared_ptr<SXTunnelConnection> tunnel);
    // Lets every tunnel go, without closing one: waits for the changes queued before it.
    void releaseAll();

    std::size_t count() const;
    const ProxyTunnelAdmissionController& admissionController() const { return tunnelAdmissionController; }

    void tunnelEstablished(const std::string& flowId) override;
    void tunnelFailedBeforeEstablished(PreHandshakeFailure failure, const std::string& target) override;
    void tunnelClosed(const std::string& flowId) override;

private:
    std::shared_ptr<HandshakeObserver> observer() const;

    // Keyed by a view of the tunnel's own flow id: the entry holds the tunnel, and with it the id.
    std::unordered_map<std::string_view, std::shared_ptr<SXTunnelConnection>> activeTunnels;
    const std::shared_ptr<DispatchQueue> activeTunnelsQueue;
    ProxyTunnelAdmissionController tunnelAdmissionController;
    std::once_flag observerSet_;
    std::weak_ptr<HandshakeObserver> observer_;  // written once, under observerSet_
};

}  // namespace sentorix
