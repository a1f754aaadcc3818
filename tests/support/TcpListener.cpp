#include "TcpListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <stdexcept>

namespace sentorix::testing {

TcpListener::TcpListener(bool accepting, int backlog, std::uint16_t port) {
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_.get(), backlog) != 0 ||
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    if (accepting) {
        thread_ = std::thread([this] {
            while (!stopping_) {
                pollfd waiting{fd_.get(), POLLIN, 0};
                if (::poll(&waiting, 1, 20) > 0) {
                    sockaddr_in from{};
                    socklen_t fromLength = sizeof from;
                    UniqueFd peer(
                        ::accept4(fd_.get(), reinterpret_cast<sockaddr*>(&from), &fromLength, SOCK_CLOEXEC));
                    if (!peer.valid()) {
                        continue;
                    }
                    {
                        std::lock_guard lock(markerMutex_);
                        if (markerPort_ != 0 && ntohs(from.sin_port) == markerPort_) {
                            markerPort_ = 0;
                            markerAccepted_.notify_all();
                            continue;
                        }
                    }
                    accepted_.fetch_add(1);
                }
            }
        });
    }
}

int TcpListener::settledAcceptedCount() {
    UniqueFd marker(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!thread_.joinable() || ::bind(marker.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(marker.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot settle the listener");
    }
    std::unique_lock lock(markerMutex_);
    markerPort_ = ntohs(address.sin_port);
    lock.unlock();
    address.sin_port = htons(port_);
    if (::connect(marker.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot settle the listener");
    }
    lock.lock();
    if (!markerAccepted_.wait_for(lock, std::chrono::seconds(5), [&] { return markerPort_ == 0; })) {
        throw std::runtime_error("the listener did not accept its own connection");
    }
    return accepted_.load();
}

void TcpListener::close() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    fd_.reset();
}

TcpListener::~TcpListener() { close(); }

}  // namespace sentorix::testing
