#pragma once

#include "ProxyTunnelMonitoringEvent.h"
#include "platform/NSData.h"

namespace sentorix {

// Turns one event into one frame: a 4-byte big-endian payload length, then the event's JSON.
class ProxyTunnelMonitoringFrameEncoder {
public:
    // Fills `frame`, or fails leaving it empty.
    OptionalError encode(const ProxyTunnelMonitoringEvent& event, NSData& frame) const;
};

}  // namespace sentorix
