#include "ProxyTCPReachabilityProbe.h"

#include "platform/UniqueFd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cmath>

namespace sentorix {

ProxyHealthProbeResult ProxyTCPReachabilityProbe::check() const {
    using R = ProxyHealthProbeResult;
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return R::unreachable;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
        return R::unreachable;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    if (::inet_pton(AF_INET, host_.c_str(), &address.sin_addr) != 1) {
        return R::unreachable;
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return R::reachable;
    }
    if (errno != EINPROGRESS) {
        return R::unreachable;
    }
    pollfd waiting{fd.get(), POLLOUT, 0};
    // Rounded up, so that a fraction of a millisecond still waits.
    const int milliseconds = static_cast<int>(std::ceil(std::max(timeout_, 0.0) * 1000.0));
    if (::poll(&waiting, 1, milliseconds) <= 0) {
        return R::unreachable;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        return R::unreachable;
    }
    return R::reachable;
}

}  // namespace sentorix
