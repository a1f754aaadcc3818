#include "ProxyTunnelMonitoringClient.h"

#include "platform/UniqueFd.h"
#include "platform/OSLog.h"
#include "platform/StringTrimming.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <thread>

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
      backlog_(std::make_shared<Backlog>(maxPendingJobs, std::move(clock))) {
    if (socketPath && !socketPath->empty()) {  // as given: only updates are trimmed
        socketPath_ = std::make_shared<const std::string>(std::move(*socketPath));
        delivering_ = true;
    }
}

void ProxyTunnelMonitoringClient::updateSocketPath(std::optional<std::string> socketPath) {
    std::shared_ptr<const std::string> path;
    if (socketPath) {
        if (auto trimmed = trimmingWhitespaceAndNewlines(*socketPath); !trimmed.empty()) {
            path = std::make_shared<const std::string>(std::move(trimmed));
        }
    }
    std::lock_guard lock(lock_);
    delivering_ = path != nullptr;
    socketPath_ = std::move(path);
}

void ProxyTunnelMonitoringClient::emit(ProxyTunnelMonitoringEvent event) {
    std::shared_ptr<const std::string> path;
    {
        std::lock_guard lock(lock_);
        path = socketPath_;
    }
    if (!path) {
        return;
    }
    if (backlog_->pending.fetch_add(1) >= backlog_->limit) {
        backlog_->pending.fetch_sub(1);
        backlog_->recordDrop();
        return;
    }
    {
        std::lock_guard lock(backlog_->jobsMutex);
        backlog_->jobs.push_back(Job{std::move(event), std::move(path)});
        if (std::exchange(backlog_->consuming, true)) {
            return;  // the consumer will find it
        }
    }
    queue_->async([backlog = backlog_, encoder = encoder_, sender = sender_] { consume(backlog, *encoder, sender); });
}

bool ProxyTunnelMonitoringClient::waitUntilSent(std::chrono::milliseconds limit) const {
    // Once, at the end of a process: a short poll is simpler than a signal on every send.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (backlog_->pending.load() != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(GatherFor);
    }
    return true;
}

// Runs on the client's queue until nothing is pending; the frame's buffer is reused from one event to the next.
void ProxyTunnelMonitoringClient::consume(const std::shared_ptr<Backlog>& backlog,
                                          const ProxyTunnelMonitoringFrameEncoder& encoder, const Sender& sender) {
    std::vector<Job> batch;
    NSData frame;
    frame.reserve(1024);  // an event's frame, in one allocation rather than one per doubling
    // Should sending ever throw (memory), the next emit must still find no consumer and start one.
    struct Idle {
        Backlog& backlog;
        bool done = false;
        ~Idle() {
            if (!done) {
                std::lock_guard lock(backlog.jobsMutex);
                backlog.consuming = false;
            }
        }
    } idle{*backlog};
    bool gathered = false;
    for (;;) {
        batch.clear();
        {
            std::unique_lock lock(backlog->jobsMutex);
            if (backlog->jobs.empty() && !gathered) {
                // Events come in bursts (three per relayed flow, flows by the dozen): wait a moment for the
                // rest of this one, still counted as running so that no emitter wakes another.
                lock.unlock();
                std::this_thread::sleep_for(GatherFor);
                gathered = true;
                continue;
            }
            if (backlog->jobs.empty()) {
                backlog->consuming = false;
                idle.done = true;
                return;
            }
            batch.swap(backlog->jobs);
            gathered = false;
        }
        for (auto& job : batch) {
            OptionalError error = encoder.encode(job.event, frame);
            if (!error) {
                error = sender(*job.path, frame);
            }
            if (error) {
                OSLog::defaultLog().error(std::string(FailurePrefix) + error->description());
            }
            backlog->pending.fetch_sub(1);
            backlog->reportDropsIfDue();
        }
    }
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
    // Non-blocking first: a listener that keeps up takes the connection and the whole frame at once, with
    // no time-out to set. Only a full backlog or a full buffer makes it a blocking send with the limit.
#ifdef SOCK_NONBLOCK
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
#else
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (fd.valid()) {
        ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
    }
#endif
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
    auto deadline = std::chrono::steady_clock::now() + timeLimit;
    const auto remaining = [&deadline] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    bool blocking = false;
    const auto makeBlocking = [&fd, &blocking] {
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
        blocking = true;
    };
    // The next blocking call waits for what is left of the limit at most; false once nothing is.
    const auto limit = [&fd, &remaining] {
        const auto left = remaining();
        if (left.count() <= 0) {
            return false;
        }
        setSendTimeout(fd.get(), left);
        return true;
    };

    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int failure = errno;
        if (failure == EINPROGRESS) {
            // Where a local connect completes later: wait for it within the limit.
            pollfd waiting{fd.get(), POLLOUT, 0};
            int ready;
            do {
                ready = ::poll(&waiting, 1, static_cast<int>(std::max<long long>(remaining().count(), 0)));
            } while (ready < 0 && errno == EINTR);
            int error = ETIMEDOUT;
            socklen_t size = sizeof error;
            if (ready > 0 && ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
            }
            if (error != 0) {
                return NSError::posix(error, "Failed to connect to monitoring socket");
            }
        } else if (failure != EAGAIN) {
            return NSError::posix(failure, "Failed to connect to monitoring socket");
        } else {
            // A full backlog: wait for room, within the limit.
            makeBlocking();
            if (!limit()) {
                return NSError::posix(ETIMEDOUT, "Failed to connect to monitoring socket");
            }
            if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
                return NSError::posix(timeoutAware(errno), "Failed to connect to monitoring socket");
            }
        }
    }

    // The write has a limit of its own, as the connect had.
    deadline = std::chrono::steady_clock::now() + timeLimit;
    std::size_t offset = 0;
    while (offset < frame.size()) {
        if (blocking && !limit()) {
            return NSError::posix(ETIMEDOUT, "Failed to write monitoring frame");
        }
        const ssize_t written = ::send(fd.get(), frame.data() + offset, frame.size() - offset, SendFlags);
        if (written < 0 && !blocking && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            makeBlocking();  // a frame that does not fit at once waits for the reader
            continue;
        }
        if (written <= 0) {
            const int error = written == 0 ? EIO : timeoutAware(errno);
            return NSError::posix(error, "Failed to write monitoring frame");
        }
        offset += static_cast<std::size_t>(written);
    }
    return std::nullopt;
}

}  // namespace sentorix
