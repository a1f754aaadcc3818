#pragma once

#include "FlowStrand.h"
#include "FlowRedirection.h"
#include "RateLimitedLog.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace sentorix::linux_system {

// Accepts the redirected connections on 127.0.0.1 and ::1 (one port for both) and reports each with
// the application socket's address, the destination it asked for and, where the kernel programs
// redirected it, what they recorded. A connection made straight to the listener, with no destination of
// its own, is closed at once: relaying it would ask the proxy to connect back here, which would be
// intercepted again, without end.
class InterceptionListener {
public:
    using Origin = FlowOrigin;
    // The socket comes on a strand of its own, the one its flow will run on.
    using Handler = std::function<void(FlowSocket socket, asio::ip::tcp::endpoint application,
                                       asio::ip::tcp::endpoint destination, std::optional<Origin> origin)>;
    // The kernel's record for an accepted connection, by the application socket's address.
    using OriginLookup = std::function<std::optional<Origin>(const asio::ip::tcp::endpoint& application)>;

    InterceptionListener(asio::thread_pool& pool, Handler handler);
    ~InterceptionListener();

    // Listens on an ephemeral port (IPv6 only when the machine has ::1); returns the port.
    // Without a record from `lookup`, the destination comes from connection tracking.
    Result<std::uint16_t> open(OriginLookup lookup = {});
    void close();
    std::optional<std::uint16_t> port() const;

    // The address the connection was redirected from, read from connection tracking.
    static std::optional<asio::ip::tcp::endpoint> originalDestination(int socket, const asio::ip::tcp::endpoint& local);

    // Whether the open listener has its IPv6 socket (not every machine has an IPv6 loopback).
    bool listensOnIPv6() const;
    // Whether `destination` is one of the listener's own addresses, given the local endpoint of a
    // connection it accepted: that endpoint itself, or a loopback or unspecified address on its port.
    static bool isListenerAddress(const asio::ip::tcp::endpoint& destination, const asio::ip::tcp::endpoint& local);

private:
    // One address family's listening socket.
    struct Side {
        explicit Side(asio::thread_pool& pool) : acceptor(pool), retry(pool) {}
        asio::ip::tcp::acceptor acceptor;
        asio::steady_timer retry;       // pauses accepting while descriptors run out
        asio::ip::tcp::endpoint local;  // every connection it accepts has this address
        asio::ip::tcp::endpoint peer;   // the application's, written by the accept under way
        std::uint64_t opening = 0;      // counts closes: an accept of an earlier opening is ignored
    };
    // Opens, binds and listens on `address`, with what every accepted connection is to inherit.
    static std::error_code listen(Side& side, const asio::ip::tcp::endpoint& address);
    void acceptLocked(Side& side);
    void admit(FlowSocket socket, const asio::ip::tcp::endpoint& application, const asio::ip::tcp::endpoint& local,
               const std::shared_ptr<const OriginLookup>& lookup);

    asio::thread_pool& pool_;
    Handler handler_;
    mutable std::mutex mutex_;  // guards both sides and port_
    Side v4_, v6_;
    std::optional<std::uint16_t> port_;
    std::shared_ptr<const OriginLookup> lookup_;
    RateLimitedLog straightLog_;
    RateLimitedLog acceptFailureLog_;
};

}  // namespace sentorix::linux_system
