#include "ServiceClient.h"

#include "UniqueFd.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sentorix::linux_system {

namespace {

using Clock = std::chrono::steady_clock;

bool waitFor(int socket, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd entry{socket, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 1000 * 60)));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool readExactly(int socket, char* into, std::size_t length, Clock::time_point deadline) {
    while (length > 0) {
        if (!waitFor(socket, POLLIN, deadline)) {
            return false;
        }
        const ssize_t got = ::recv(socket, into, length, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        into += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

NSError ServiceClient::notRunning() const {
    return NSError(ControlMessage::ErrorDomain, ControlMessage::ServiceUnavailable,
                   "Sentorix service is not running: " + path_);
}

Result<UniqueFd> ServiceClient::connect() const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof address.sun_path) {
        return NSError(ControlMessage::ErrorDomain, ControlMessage::BadRequest,
                       "The control socket path is too long: " + path_);
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size());
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // A full backlog (a service that is stopped or swamped) is waited for, within a bound.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (socket.valid()) {
        if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return socket;
        }
        if (errno != EAGAIN || Clock::now() >= deadline) {
            break;
        }
        ::usleep(20000);
    }
    return errno == EAGAIN ? NSError(ControlMessage::ErrorDomain, ControlMessage::ServiceUnavailable,
                                     "Sentorix service at " + path_ + " does not accept connections")
                           : notRunning();
}

bool ServiceClient::reachable() const { return connect().ok(); }

Result<void> ServiceClient::send(int socket, const Dictionary& message, Clock::time_point deadline) {
    const auto frame = ControlMessage::frame(message);
    if (!frame) {
        return frame.error();
    }
    std::size_t sent = 0;
    while (sent < frame->size()) {
        if (!waitFor(socket, POLLOUT, deadline)) {
            return failure(ETIMEDOUT, "the request could not be sent");
        }
        const ssize_t wrote = ::send(socket, frame->data() + sent, frame->size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (wrote <= 0) {
            return failure(wrote < 0 ? errno : EPIPE, "the request could not be sent");
        }
        sent += static_cast<std::size_t>(wrote);
    }
    return {};
}

Result<ServiceClient::Dictionary> ServiceClient::receive(int socket, Clock::time_point deadline) {
    unsigned char header[ControlMessage::HeaderBytes];
    if (!readExactly(socket, reinterpret_cast<char*>(header), sizeof header, deadline)) {
        return failure(ETIMEDOUT, "the service did not answer");
    }
    const auto length = ControlMessage::bodyLength(header);
    if (length > ControlMessage::MaxAnswerBytes) {
        return failure(EMSGSIZE, "the service's answer is too large");
    }
    std::string body(length, '\0');
    if (!readExactly(socket, body.data(), length, deadline)) {
        return failure(ETIMEDOUT, "the service did not answer");
    }
    return ControlMessage::parse(body);
}

Result<ServiceClient::Dictionary> ServiceClient::ask(Dictionary request, std::chrono::milliseconds timeout) const {
    const auto connected = connect();
    if (!connected) {
        return connected.error();
    }
    const UniqueFd& socket = *connected;
    const auto deadline = Clock::now() + timeout;
    // Sent or not, an answer may be waiting: a refused peer is answered before it has asked.
    const bool sent = send(socket.get(), request, deadline).ok();
    auto answer = receive(socket.get(), sent ? deadline : Clock::now() + std::chrono::seconds(1));
    if (!answer) {
        const std::string problem = sent ? answer.error().localizedDescription() : "the request could not be sent";
        return NSError(ControlMessage::ErrorDomain, ControlMessage::ServiceUnavailable,
                       "Sentorix service at " + path_ + ": " + problem);
    }
    if (auto refused = ControlMessage::errorIn(*answer)) {
        return std::move(*refused);
    }
    return answer;
}

}  // namespace sentorix::linux_system
