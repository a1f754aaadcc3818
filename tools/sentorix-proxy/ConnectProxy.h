#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/thread_pool.hpp>

#include <atomic>
#include <functional>
#include <string>

// An HTTP CONNECT proxy: reads one request header per connection, connects to the named target,
// answers 200 and then carries the bytes in the kernel. Anything but CONNECT gets 405; a target it
// cannot reach gets 502.
class ConnectProxy {
public:
    enum class Verbosity { quiet, requests, headers };

    ConnectProxy(asio::thread_pool& pool, Verbosity verbosity, std::function<void(const std::string&)> log);

    // Returns an error text, empty on success.
    std::string listen(const std::string& address, unsigned short port);
    // Serves a listening socket handed over by whoever started it (systemd's socket activation).
    std::string adopt(int listening);
    unsigned short port() const;
    std::size_t activeTunnels() const { return active_.load(); }

private:
    void accept();
    void serve(asio::ip::tcp::socket client);

    asio::thread_pool& pool_;
    const Verbosity verbosity_;
    const std::function<void(const std::string&)> log_;
    asio::ip::tcp::acceptor acceptor_;
    std::atomic<std::size_t> active_{0};
};
