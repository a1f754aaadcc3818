#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

namespace sentorix {

// Bounds how many flows may be in their CONNECT handshake at once. A flow it already knows, pending or
// established, is never refused.
class ProxyTunnelAdmissionController {
public:
    explicit ProxyTunnelAdmissionController(std::int64_t maxPendingHandshakes);

    bool tryAcquireHandshakeSlot(const std::string& flowId);
    void markHandshakeEstablished(const std::string& flowId);
    void releaseHandshakeSlot(const std::string& flowId);
    std::size_t pendingHandshakeCount() const;
    std::size_t establishedTunnelCount() const;

    std::int64_t maxPendingHandshakes() const { return maxPendingHandshakes_; }

private:
    const std::int64_t maxPendingHandshakes_;
    mutable std::mutex lock_;
    std::unordered_set<std::string> pendingHandshakeIDs_;
    std::unordered_set<std::string> establishedTunnelIDs_;
};

}  // namespace sentorix
