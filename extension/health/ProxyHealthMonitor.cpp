#include "ProxyHealthMonitor.h"

#include <utility>

namespace sentorix {

void ProxyHealthMonitor::recordProbeResult(ProxyHealthProbeResult result) {
    const auto previous = std::exchange(lastResult_, result);
    const bool unreachable = result == ProxyHealthProbeResult::unreachable;
    gate_->setProxyUnavailable(unreachable);

    std::optional<ProxyHealthEvent> event;
    if (unreachable && previous != ProxyHealthProbeResult::unreachable) {
        event = ProxyHealthEvent::proxyUnavailable;
    } else if (!unreachable && previous == ProxyHealthProbeResult::unreachable) {
        event = ProxyHealthEvent::proxyRecovered;
    }
    if (event && onEvent_) {
        onEvent_(*event);
    }
}

}  // namespace sentorix
