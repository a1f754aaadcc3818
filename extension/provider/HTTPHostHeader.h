#pragma once

#include "platform/PeekedHostname.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace sentorix {

// The host a plain HTTP/1.x request is for, read from the request head at the start of its stream:
// the Host field, or an absolute-form target's authority. Anything that cannot be an HTTP request is
// Absent from its first bytes, so a client speaking another protocol is not kept waiting.
class HTTPHostHeader {
public:
    // A head that has not ended within this many bytes is Absent, so a peek this long always decides.
    static constexpr std::size_t maxPeekBytes = 16384;

    static PeekedHostname parse(std::span<const std::uint8_t> bytes);
};

}  // namespace sentorix
