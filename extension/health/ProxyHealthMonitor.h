#pragma once

#include "ProxySafetyGate.h"
#include "ProxyTCPReachabilityProbe.h"

#include <functional>
#include <memory>
#include <optional>

namespace sentorix {

enum class ProxyHealthEvent { proxyUnavailable, proxyRecovered };

// Turns probe results into gate settings and change events. Used from one serial queue only.
class ProxyHealthMonitor {
public:
    ProxyHealthMonitor(std::shared_ptr<ProxySafetyGate> gate, std::function<void(ProxyHealthEvent)> onEvent)
        : gate_(std::move(gate)), onEvent_(std::move(onEvent)) {}

    void recordProbeResult(ProxyHealthProbeResult result);
    std::optional<ProxyHealthProbeResult> lastResult() const { return lastResult_; }

private:
    const std::shared_ptr<ProxySafetyGate> gate_;
    const std::function<void(ProxyHealthEvent)> onEvent_;
    std::optional<ProxyHealthProbeResult> lastResult_;
};

}  // namespace sentorix
