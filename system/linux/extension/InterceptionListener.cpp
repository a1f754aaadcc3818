#include "InterceptionListener.h"

#include "PlatformLog.h"
#include "AddressWords.h"

#include <linux/netfilter_ipv4.h>
#include <linux/netfilter_ipv6/ip6_tables.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <asio/error.hpp>
#include <asio/ip/v6_only.hpp>

#include <cerrno>
#include <cstring>

namespace sentorix::linux_system {

namespace {

// Accepting fails again at once while these last: the next attempt waits rather than spins.
constexpr auto RetryAfterShortage = std::chrono::milliseconds(100);

bool outOfResources(const std::error_code& error) {
    return RateLimitedLog::isDescriptorShortage(error) || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory;
}

}  // namespace

InterceptionListener::InterceptionListener(asio::thread_pool& pool, Handler handler)
    : pool_(pool), handler_(std::move(handler)), v4_(pool), v6_(pool),
      straightLog_(platformLog(), OSLogType::Default,
                   [](std::uint64_t count, const std::string&) {
                       return "Sentorix platform: closed " + std::to_string(count) +
                              (count == 1 ? " connection" : " connections") +
                              " made straight to the interception listener";
                   }),
      acceptFailureLog_(platformLog(), OSLogType::Error, [](std::uint64_t count, const std::string& detail) {
          return "Sentorix platform: cannot accept intercepted connections: " + detail + RateLimitedLog::times(count);
      }) {}

InterceptionListener::~InterceptionListener() { close(); }

std::optional<std::uint16_t> InterceptionListener::port() const {
    std::lock_guard lock(mutex_);
    return port_;
}

bool InterceptionListener::listensOnIPv6() const {
    std::lock_guard lock(mutex_);
    return v6_.acceptor.is_open();
}

std::error_code InterceptionListener::listen(Side& side, const asio::ip::tcp::endpoint& address) {
    std::error_code code;
    auto& acceptor = side.acceptor;
    acceptor.open(address.protocol(), code);
    if (!code && address.address().is_v6()) acceptor.set_option(asio::ip::v6_only(true), code);
    // Accepted connections inherit both from the listening socket, two system calls fewer per flow: no
    // delay, as every relayed socket has, and urgent data kept in line, as the relay needs.
    if (!code) acceptor.set_option(asio::ip::tcp::no_delay(true), code);
    if (!code) acceptor.set_option(asio::socket_base::out_of_band_inline(true), code);
    if (!code) acceptor.bind(address, code);
    if (!code) acceptor.listen(asio::socket_base::max_listen_connections, code);
    if (!code) side.local = acceptor.local_endpoint(code);
    if (code) {
        std::error_code ignored;
        acceptor.close(ignored);
    }
    return code;
}

Result<std::uint16_t> InterceptionListener::open(OriginLookup lookup) {
    std::lock_guard lock(mutex_);
    if (port_) {
        return *port_;
    }
    lookup_ = lookup ? std::make_shared<const OriginLookup>(std::move(lookup)) : nullptr;
    if (const auto code = listen(v4_, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0))) {
        return failure(code.value(), "cannot listen on 127.0.0.1: " + code.message());
    }
    port_ = v4_.local.port();
    listen(v6_, asio::ip::tcp::endpoint(asio::ip::address_v6::loopback(), *port_));  // without ::1, IPv4 only
    acceptLocked(v4_);
    if (v6_.acceptor.is_open()) {
        acceptLocked(v6_);
    }
    return *port_;
}

void InterceptionListener::close() {
    std::lock_guard lock(mutex_);
    std::error_code ignored;
    for (Side* side : {&v4_, &v6_}) {
        side->acceptor.close(ignored);
        side->retry.cancel();
        ++side->opening;
    }
    port_.reset();
}

void InterceptionListener::acceptLocked(Side& side) {
    // Accepted straight onto the flow's strand: moving it there later costs two system calls. The accept
    // writes the application's address too, which saves asking for it.
    auto strand = asio::make_strand(pool_.get_executor());
    const std::uint64_t opening = side.opening;
    side.acceptor.async_accept(strand, side.peer, [this, &side, opening](const std::error_code& error,
                                                                         FlowSocket socket) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        const bool shortage = outOfResources(error);
        std::shared_ptr<const OriginLookup> lookup;
        asio::ip::tcp::endpoint application, local;
        {
            std::lock_guard lock(mutex_);
            // One that completed before a close, run after the next open, is not that listener's.
            if (!side.acceptor.is_open() || side.opening != opening) {
                return;
            }
            lookup = lookup_;
            application = side.peer;  // before the next accept writes over it
            local = side.local;
            if (!shortage) {
                acceptLocked(side);  // keep accepting while this one is handled
            } else {
                side.retry.expires_after(RetryAfterShortage);
                side.retry.async_wait([this, &side, opening](const std::error_code& waitError) {
                    if (waitError) {
                        return;  // closed meanwhile
                    }
                    std::lock_guard relock(mutex_);
                    if (side.acceptor.is_open() && side.opening == opening) {
                        acceptLocked(side);
                    }
                });
            }
        }
        if (shortage) {
            acceptFailureLog_.note(error.message());
        } else if (!error) {
            admit(std::move(socket), application, local, lookup);
        }
    });
}

void InterceptionListener::admit(FlowSocket socket, const asio::ip::tcp::endpoint& application,
                                 const asio::ip::tcp::endpoint& local,
                                 const std::shared_ptr<const OriginLookup>& lookup) {
    auto origin = lookup ? (*lookup)(application) : std::nullopt;
    const auto destination =
        origin ? std::optional(origin->destination) : originalDestination(socket.native_handle(), local);
    if (!destination || isListenerAddress(*destination, local)) {
        straightLog_.note();
        return;  // the socket closes here: no relay, no event
    }
    handler_(std::move(socket), application, *destination, std::move(origin));
}

bool InterceptionListener::isListenerAddress(const asio::ip::tcp::endpoint& destination,
                                             const asio::ip::tcp::endpoint& local) {
    if (destination == local) {
        return true;
    }
    if (destination.port() != local.port()) {
        return false;
    }
    const auto address = unmapped(destination.address());
    // The proxy, asked for such a destination, would connect back here.
    return address.is_loopback() || address.is_unspecified();
}

std::optional<asio::ip::tcp::endpoint> InterceptionListener::originalDestination(int fd,
                                                                               const asio::ip::tcp::endpoint& local) {
    if (local.address().is_v4()) {
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
