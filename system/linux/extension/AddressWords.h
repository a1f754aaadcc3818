#pragma once

#include <asio/ip/address.hpp>

#include <cstdint>
#include <cstring>

namespace sentorix::linux_system {

// An address as the kernel's structures hold it: four 32-bit words in network order, IPv4 in the first.
inline void copyAddressWords(std::uint32_t (&out)[4], const asio::ip::address& address) {
    if (address.is_v4()) {
        const auto bytes = address.to_v4().to_bytes();
        std::memcpy(out, bytes.data(), 4);
    } else {
        const auto bytes = address.to_v6().to_bytes();
        std::memcpy(out, bytes.data(), 16);
    }
}

}  // namespace sentorix::linux_system
