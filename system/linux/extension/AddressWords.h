#pragma once

#include <asio/ip/address.hpp>

#include <cstdint>
#include <cstring>

namespace sentorix::linux_system {

// An IPv4 address reached through an IPv6 socket (::ffff:a.b.c.d) as the IPv4 address it is.
inline asio::ip::address unmapped(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

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
