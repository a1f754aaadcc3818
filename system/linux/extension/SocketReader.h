#pragma once

#include "FlowStrand.h"
#include "NSData.h"
#include "NSError.h"

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sentorix::linux_system {

// Reads what a socket has once it is readable, up to `maximum` bytes; an empty result is the end of data.
// A read of at most DirectReadMaximum bytes (a handshake's) receives straight into a buffer of at most
// DirectReadBytes, and may leave bytes for the next read. A larger read holds no buffer while it waits
// (only `peekByte`, which must outlive the read). Must run inside the socket's strand.
inline constexpr std::size_t DirectReadMaximum = 16384;
// Small enough for the allocator to recycle at once: a larger buffer freed among long-lived allocations
// leaves holes that idle flows pay for.
inline constexpr std::size_t DirectReadBytes = 1024;
void readWhenReadable(FlowSocket& socket, std::uint8_t& peekByte, std::size_t maximum,
                      std::function<void(NSData, OptionalError)> completion);

NSError errorFrom(const std::error_code& error);

}  // namespace sentorix::linux_system
