#include "InterceptionListener.h"

#include <linux/netfilter_ipv4.h>
#include <linux/netfilter_ipv6/ip6_tables.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <asio/ip/v6_only.hpp>

#include <cstring>

namespace sentorix::linux_system {

InterceptionListener::InterceptionListener(asio::thread_pool& pool, Handler handler)
    : pool_(pool), handler_(std::move(handler)), v4_(pool), v6_(pool) {}

InterceptionListener::~InterceptionListener() { close(); }

std::optional<std::uint16_t> InterceptionListener::open(std::string& error) {
    if (port_) {
        return port_;
    }
    std::error_code code;
    const asio::ip::tcp::endpoint v4(asio::ip::address_v4::loopback(), 0);
    v4_.open(v4.protocol(), code);
    if (!code) v4_.bind(v4, code);
    if (!code) v4_.listen(asio::socket_base::max_listen_connections, code);
    if (code) {
        error = "cannot listen on 127.0.0.1: " + code.message();
        v4_.close(code);
        return std::nullopt;
    }
    port_ = v4_.local_endpoint(code).port();
    const asio::ip::tcp::endpoint v6(asio::ip::address_v6::loopback(), *port_);
    v6_.open(v6.protocol(), code);
    if (!code) v6_.set_option(asio::ip::v6_only(true), code);
    if (!code) v6_.bind(v6, code);
    if (!code) v6_.listen(asio::socket_base::max_listen_connections, code);
    if (code) {
        v6_.close(code);  // no IPv6 loopback here: IPv4 only
    }
    accept(v4_);
    if (v6_.is_open()) {
        accept(v6_);
    }
    return port_;
}

void InterceptionListener::close() {
    std::error_code ignored;
    v4_.close(ignored);
    v6_.close(ignored);
    port_.reset();
}

void InterceptionListener::accept(asio::ip::tcp::acceptor& acceptor) {
    acceptor.async_accept(pool_, [this, &acceptor](const std::error_code& error, asio::ip::tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor.is_open()) {
            return;
        }
        accept(acceptor);  // keep accepting while this one is handled
        if (error) {
            return;
        }
        std::error_code code;
        const auto application = socket.remote_endpoint(code);
        const auto destination = originalDestination(socket);
        if (code || !destination) {
            return;  // not a redirected connection: dropped
        }
        socket.set_option(asio::ip::tcp::no_delay(true), code);
        handler_(std::move(socket), application, *destination);
    });
}

std::optional<asio::ip::tcp::endpoint> InterceptionListener::originalDestination(asio::ip::tcp::socket& socket) {
    const int fd = socket.native_handle();
    std::error_code code;
    if (socket.local_endpoint(code).address().is_v4()) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockopt(fd, SOL_IP, SO_ORIGINAL_DST, &address, &length) != 0) {
            return std::nullopt;
        }
        return asio::ip::tcp::endpoint(asio::ip::address_v4(ntohl(address.sin_addr.s_addr)), ntohs(address.sin_port));
    }
    sockaddr_in6 address{};
    socklen_t length = sizeof address;
    if (::getsockopt(fd, SOL_IPV6, IP6T_SO_ORIGINAL_DST, &address, &length) != 0) {
        return std::nullopt;
    }
    asio::ip::address_v6::bytes_type bytes;
    std::memcpy(bytes.data(), &address.sin6_addr, 16);
    return asio::ip::tcp::endpoint(asio::ip::address_v6(bytes, address.sin6_scope_id), ntohs(address.sin6_port));
}

}  // namespace sentorix::linux_system
