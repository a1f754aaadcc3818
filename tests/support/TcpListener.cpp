#include "TcpListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

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
                    UniqueFd peer(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                    if (peer.valid()) {
                        accepted_.fetch_add(1);
                    }
                }
            }
        });
    }
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
