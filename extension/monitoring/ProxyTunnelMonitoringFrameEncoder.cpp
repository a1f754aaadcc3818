#include "ProxyTunnelMonitoringFrameEncoder.h"

#include <cstdint>
#include <limits>

namespace sentorix {

OptionalError ProxyTunnelMonitoringFrameEncoder::encode(const ProxyTunnelMonitoringEvent& event, NSData& frame) const {
    // The JSON goes straight in after room for its length, which is written once it is known.
    frame.assign(4, 0);
    if (auto error = event.encodeJSON(frame)) {
        frame.clear();
        return error;
    }
    const std::size_t payload = frame.size() - 4;
    if (payload > std::numeric_limits<std::uint32_t>::max()) {
        frame.clear();
        return NSError(NSError::SentorixDomain, 1102, "Monitoring frame payload too large");
    }
    const auto length = static_cast<std::uint32_t>(payload);
    frame[0] = static_cast<std::uint8_t>(length >> 24);
    frame[1] = static_cast<std::uint8_t>(length >> 16);
    frame[2] = static_cast<std::uint8_t>(length >> 8);
    frame[3] = static_cast<std::uint8_t>(length);
    return std::nullopt;
}

}  // namespace sentorix
