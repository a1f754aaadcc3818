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

// The reverse, for an address of family AF_INET (2) or AF_INET6 (10); mapped IPv4 comes out as IPv4.
inline asio::ip::address addressFromWords(std::uint8_t family, const std::uint32_t (&words)[4]) {
    if (family == 2) {
        asio::ip::address_v4::bytes_type bytes;
        std::memcpy(bytes.data(), words, 4);
        return asio::ip::address_v4(bytes);
    }
    asio::ip::address_v6::bytes_type bytes;
    std::memcpy(bytes.data(), words, 16);
    return unmapped(asio::ip::address_v6(bytes));
}

}  // namespace sentorix::linux_system
