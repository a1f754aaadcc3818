#include "ProxyTunnelMonitoringClient.h"

#include "platform/UniqueFd.h"
#include "platform/OSLog.h"
#include "platform/StringTrimming.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace sentorix {

namespace {

constexpr std::size_t MaxSocketPathBytes = 104;  // terminator included, as on the platform we mirror
constexpr auto DropReportInterval = std::chrono::seconds(1);

#ifdef MSG_NOSIGNAL
constexpr int SendFlags = MSG_NOSIGNAL;
#else
constexpr int SendFlags = 0;
#endif

void setSendTimeout(int fd, std::chrono::milliseconds limit) {
    const auto ms = std::max<long long>(limit.count(), 1);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A blocking call that ran out of its send time-out reports EAGAIN; say what happened instead.
int timeoutAware(int errorNumber) {
    return (errorNumber == EAGAIN || errorNumber == EWOULDBLOCK) ? ETIMEDOUT : errorNumber;
}

}  // namespace

ProxyTunnelMonitoringClient::ProxyTunnelMonitoringClient(std::optional<std::string> socketPath,
                                                         std::shared_ptr<DispatchQueue> queue,
                                                         std::shared_ptr<const ProxyTunnelMonitoringFrameEncoder> encoder,
                                                         Sender sender, std::size_t maxPendingJobs,
                                                         std::shared_ptr<const MonotonicClock> clock)
    : queue_(std::move(queue)),
      encoder_(std::move(encoder)),
      sender_(sender ? std::move(sender) : defaultSender()),
      socketPath_(std::move(socketPath)),
      backlog_(std::make_shared<Backlog>(maxPendingJobs, std::move(clock))) {}

void ProxyTunnelMonitoringClient::updateSocketPath(std::optional<std::string> socketPath) {
    if (socketPath) {
        socketPath = trimmingWhitespaceAndNewlines(*socketPath);
    }
    std::lock_guard lock(lock_);
    socketPath_ = std::move(socketPath);
}

void ProxyTunnelMonitoringClient::emit(ProxyTunnelMonitoringEvent event) {
    std::optional<std::string> path;
    {
        std::lock_guard lock(lock_);
        path = socketPath_;
    }
    if (!path || path->empty()) {
        return;
    }
    if (backlog_->pending.fetch_add(1) >= backlog_->limit) {
        backlog_->pending.fetch_sub(1);
        backlog_->recordDrop();
        return;
    }
    queue_->async([event = std::move(event), path = std::move(*path), encoder = encoder_, sender = sender_,
                   backlog = backlog_] {
        NSData frame;
        OptionalError error = encoder->encode(event, frame);
        if (!error) {
            error = sender(path, frame);
        }
        if (error) {
            OSLog::defaultLog().error(std::string(FailurePrefix) + error->description());
        }
        backlog->pending.fetch_sub(1);
        backlog->reportDropsIfDue();
    });
}

void ProxyTunnelMonitoringClient::Backlog::recordDrop() {
    {
        std::lock_guard lock(dropMutex);
        ++dropped;
    }
    reportDropsIfDue();
}

void ProxyTunnelMonitoringClient::Backlog::reportDropsIfDue() {
    std::size_t count = 0;
    {
        std::lock_guard lock(dropMutex);
        const auto now = clock->now();
        if (dropped == 0 || (lastDropReport && now - *lastDropReport < DropReportInterval)) {
            return;
        }
        count = std::exchange(dropped, 0);
        lastDropReport = now;
    }
    OSLog::defaultLog().error(std::string(FailurePrefix) + std::to_string(count) + " events dropped: " +
                              std::to_string(limit) + " sends already pending");
}

ProxyTunnelMonitoringClient::Sender ProxyTunnelMonitoringClient::defaultSender() {
    return defaultSender(DefaultSendTimeLimit);
}

ProxyTunnelMonitoringClient::Sender ProxyTunnelMonitoringClient::defaultSender(std::chrono::milliseconds timeLimit) {
    return [timeLimit](const std::string& path, const NSData& frame) {
        return sendFrameToSocket(path, frame, timeLimit);
    };
}

OptionalError ProxyTunnelMonitoringClient::sendFrameToSocket(const std::string& path, const NSData& frame,
                                                             std::chrono::milliseconds timeLimit) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return NSError::posix(errno, "Failed to open monitoring socket");
    }
#ifdef SO_NOSIGPIPE
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    if (path.size() + 1 > MaxSocketPathBytes) {
        return NSError(NSError::SentorixDomain, 1101, "Monitoring socket path too long");
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());

    // The send time-out also bounds a connect that waits for room in the listener's backlog.
    setSendTimeout(fd.get(), timeLimit);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        return NSError::posix(timeoutAware(errno), "Failed to connect to monitoring socket");
    }

    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    std::size_t offset = 0;
    while (offset < frame.size()) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) {
            return NSError::posix(ETIMEDOUT, "Failed to write monitoring frame");
        }
        setSendTimeout(fd.get(), remaining);
        const ssize_t written = ::send(fd.get(), frame.data() + offset, frame.size() - offset, SendFlags);
        if (written <= 0) {
            const int error = written == 0 ? EIO : timeoutAware(errno);
            return NSError::posix(error, "Failed to write monitoring frame");
        }
        offset += static_cast<std::size_t>(written);
    }
    return std::nullopt;
}

}  // namespace sentorix
