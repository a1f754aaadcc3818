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
    : pool_(pool), handler_(std::move(handler)), v4_(pool), v6_(pool), v4Retry_(pool), v6Retry_(pool),
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
    return v6_.is_open();
}

Result<std::uint16_t> InterceptionListener::open(OriginLookup lookup) {
    std::lock_guard lock(mutex_);
    if (port_) {
        return *port_;
    }
    lookup_ = lookup ? std::make_shared<const OriginLookup>(std::move(lookup)) : nullptr;
    std::error_code code;
    const asio::ip::tcp::endpoint v4(asio::ip::address_v4::loopback(), 0);
    v4_.open(v4.protocol(), code);
    if (!code) v4_.bind(v4, code);
    if (!code) v4_.listen(asio::socket_base::max_listen_connections, code);
    if (code) {
        auto failed = failure(code.value(), "cannot listen on 127.0.0.1: " + code.message());
        v4_.close(code);
        return failed;
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
    acceptLocked(v4_, v4Retry_);
    if (v6_.is_open()) {
        acceptLocked(v6_, v6Retry_);
    }
    return *port_;
}

void InterceptionListener::close() {
    std::lock_guard lock(mutex_);
    std::error_code ignored;
    v4_.close(ignored);
    v6_.close(ignored);
    v4Retry_.cancel();
    v6Retry_.cancel();
    port_.reset();
}

void InterceptionListener::acceptLocked(asio::ip::tcp::acceptor& acceptor, asio::steady_timer& retry) {
    // Accepted straight onto the flow's strand: moving it there later costs two system calls.
    auto strand = asio::make_strand(pool_.get_executor());
    acceptor.async_accept(strand, [this, &acceptor, &retry](const std::error_code& error, FlowSocket socket) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        const bool shortage = outOfResources(error);
        std::shared_ptr<const OriginLookup> lookup;
        {
            std::lock_guard lock(mutex_);
            lookup = lookup_;
            if (!acceptor.is_open()) {
                return;
            }
            if (!shortage) {
                acceptLocked(acceptor, retry);  // keep accepting while this one is handled
            } else {
                retry.expires_after(RetryAfterShortage);
                retry.async_wait([this, &acceptor, &retry](const std::error_code& waitError) {
                    if (waitError) {
                        return;  // closed meanwhile
                    }
                    std::lock_guard relock(mutex_);
                    if (acceptor.is_open()) {
                        acceptLocked(acceptor, retry);
                    }
                });
            }
        }
        if (shortage) {
            acceptFailureLog_.note(error.message());
        } else if (!error) {
            admit(std::move(socket), lookup);
        }
    });
}

void InterceptionListener::admit(FlowSocket socket, const std::shared_ptr<const OriginLookup>& lookup) {
    std::error_code code;
    const auto application = socket.remote_endpoint(code);
    if (code) {
        return;  // gone already
    }
    const auto local = socket.local_endpoint(code);
    auto origin = lookup ? (*lookup)(application) : std::nullopt;
    const auto destination =
        origin ? std::optional(origin->destination) : originalDestination(socket.native_handle(), local);
    if (code || !destination || isListenerAddress(*destination, local)) {
        straightLog_.note();
        return;  // the socket closes here: no relay, no event
    }
    socket.set_option(asio::ip::tcp::no_delay(true), code);
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
