#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/thread_pool.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sentorix::linux_system {

// Accepts the redirected connections on 127.0.0.1 and ::1 (one port for both) and reports each with
// the application socket's address and the destination it asked for.
class InterceptionListener {
public:
    using Handler = std::function<void(asio::ip::tcp::socket socket, asio::ip::tcp::endpoint application,
                                       asio::ip::tcp::endpoint destination)>;

    InterceptionListener(asio::thread_pool& pool, Handler handler);
    ~InterceptionListener();

    // Listens on an ephemeral port (IPv6 only when the machine has ::1); returns the port, or an error text.
    std::optional<std::uint16_t> open(std::string& error);
    void close();
    std::optional<std::uint16_t> port() const { return port_; }

    // The address the connection was redirected from, read from connection tracking.
    static std::optional<asio::ip::tcp::endpoint> originalDestination(asio::ip::tcp::socket& socket);

private:
    void accept(asio::ip::tcp::acceptor& acceptor);

    asio::thread_pool& pool_;
    Handler handler_;
    asio::ip::tcp::acceptor v4_, v6_;
    std::optional<std::uint16_t> port_;
};

}  // namespace sentorix::linux_system
