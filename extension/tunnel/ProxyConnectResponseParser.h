#pragma once

#include "ProxyConnectResponseOutcome.h"

#include <cstdint>

namespace sentorix {

// Accumulates the proxy's answer until the header block ends, judges the status line and hands back
// whatever followed the header. Single use: one answer per tunnel.
class ProxyConnectResponseParser {
public:
    static constexpr std::int64_t maxHeaderBytes = 16384;

    ProxyConnectResponseOutcome append(const NSData& data);

    const NSData& buffer() const { return buffer_; }

private:
    NSData buffer_;
};

}  // namespace sentorix
