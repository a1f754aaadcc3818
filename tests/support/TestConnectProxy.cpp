#include "TestConnectProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

namespace sentorix::testing {

UniqueFd listenLoopback(std::uint16_t& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd.get(), 128) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(address.sin_port);
    return fd;
}

UniqueFd connectLoopback(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return UniqueFd();
    }
    return fd;
}

void pump(int from, int to) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        for (ssize_t sent = 0; sent < n;) {
            const ssize_t k = ::send(to, buffer + sent, size_t(n - sent), MSG_NOSIGNAL);
            if (k <= 0) {
                return;
            }
            sent += k;
        }
    }
    ::shutdown(to, SHUT_WR);
}

TestConnectProxy::TestConnectProxy() {
    listener_ = listenLoopback(port_);
    acceptor_ = std::thread([this] {
        while (!stopping_) {
            pollfd waiting{listener_.get(), POLLIN, 0};
            if (::poll(&waiting, 1, 20) <= 0) {
                continue;
            }
            UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (client.valid()) {
                std::lock_guard lock(mutex_);
                threads_.emplace_back([this, fd = client.release()] { serve(UniqueFd(fd)); });
            }
        }
    });
}

TestConnectProxy::~TestConnectProxy() {
    stopping_ = true;
    acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

std::vector<std::string> TestConnectProxy::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void TestConnectProxy::serve(UniqueFd client) {
    std::string header;
    char c;
    while (!header.ends_with("\r\n\r\n") && ::recv(client.get(), &c, 1, 0) == 1) {
        header += c;
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(header);
    }
    // "CONNECT 127.0.0.1:PORT HTTP/1.1": only loopback destinations are served here.
    const auto colon = header.find(':');
    const auto space = header.find(' ', colon);
    if (!header.starts_with("CONNECT 127.0.0.1:") || colon == std::string::npos || space == std::string::npos) {
        return;
    }
    UniqueFd upstream = connectLoopback(static_cast<std::uint16_t>(std::stoi(header.substr(colon + 1, space - colon - 1))));
    if (!upstream.valid()) {
        const std::string refused = "HTTP/1.1 502 Bad Gateway\r\n\r\n";
        ::send(client.get(), refused.data(), refused.size(), MSG_NOSIGNAL);
        return;
    }
    const std::string ok = "HTTP/1.1 200 Connection established\r\n\r\n";
    ::send(client.get(), ok.data(), ok.size(), MSG_NOSIGNAL);
    std::thread up([&] { pump(client.get(), upstream.get()); });
    pump(upstream.get(), client.get());
    up.join();
}

}  // namespace sentorix::testing
