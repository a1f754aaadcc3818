#pragma once

#include "platform/PeekedHostname.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace sentorix {

// The server name a TLS client asks for, read from the ClientHello at the start of its stream. With
// Encrypted Client Hello this is the outer, public name: the inner one stays sealed.
class ClientHelloServerName {
public:
    // A hello that has not ended within this many bytes of the stream is Absent, so a peek this long
    // always decides.
    static constexpr std::size_t maxPeekBytes = 16384 + 1024;

    static PeekedHostname parse(std::span<const std::uint8_t> bytes);
};

}  // namespace sentorix
