#pragma once

#include "FlowStrand.h"
#include "NSData.h"
#include "NSError.h"

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sentorix::linux_system {

// Reads what a socket has once it is readable, up to `maximum` bytes. A read of more than
// DirectReadMaximum holds no buffer while it waits (only `peekByte`, which must outlive the read). An
// empty result is the end of data. Must run inside the socket's strand.
inline constexpr std::size_t DirectReadMaximum = 16384;
void readWhenReadable(FlowSocket& socket, std::uint8_t& peekByte, std::size_t maximum,
                      std::function<void(NSData, OptionalError)> completion);

NSError errorFrom(const std::error_code& error);

}  // namespace sentorix::linux_system
