#include "ProxyTunnelMonitoringFrameEncoder.h"

#include <cstdint>
#include <limits>

namespace sentorix {

OptionalError ProxyTunnelMonitoringFrameEncoder::encode(const ProxyTunnelMonitoringEvent& event, NSData& frame) const {
    frame.clear();
    std::string payload;
    if (auto error = event.encodeJSON(payload)) {
        return error;
    }
    if (payload.size() > std::numeric_limits<std::uint32_t>::max()) {
        return NSError(NSError::SentorixDomain, 1102, "Monitoring frame payload too large");
    }
    const auto length = static_cast<std::uint32_t>(payload.size());
    frame.reserve(4 + payload.size());
    frame.push_back(static_cast<std::uint8_t>(length >> 24));
    frame.push_back(static_cast<std::uint8_t>(length >> 16));
    frame.push_back(static_cast<std::uint8_t>(length >> 8));
    frame.push_back(static_cast<std::uint8_t>(length));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return std::nullopt;
}

}  // namespace sentorix
