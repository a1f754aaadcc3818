#pragma once

#include <mutex>

namespace sentorix {

// The switch that lets new flows be proxied. Closed (every flow bypassed) while the proxy or the network
// is considered unavailable; a new gate starts closed until the first probe finds the proxy.
class ProxySafetyGate {
public:
    void setProxyUnavailable(bool unavailable) {
        std::lock_guard lock(lock_);
        proxyUnavailable_ = unavailable;
    }
    // Both flags read under one acquisition.
    bool isClosed() const {
        std::lock_guard lock(lock_);
        return proxyUnavailable_ || networkUnavailable_;
    }

private:
    mutable std::mutex lock_;
    bool proxyUnavailable_ = true;
    bool networkUnavailable_ = false;
};

}  // namespace sentorix
