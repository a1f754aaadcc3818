#include "FirstBytesPeek.h"

#include <asio/dispatch.hpp>

#include <sys/socket.h>

#include <array>

namespace sentorix::linux_system {

FirstBytesPeek::FirstBytesPeek(FlowSocket socket, Inspect inspect, Completion completion)
    : socket_(std::move(socket)),
      deadline_(socket_.get_executor()),
      inspect_(std::move(inspect)),
      completion_(std::move(completion)) {}

void FirstBytesPeek::start(FlowSocket socket, Inspect inspect, Completion completion,
                           std::function<void()> whileWaiting, std::chrono::milliseconds patience) {
    // A client that speaks first has usually spoken by the time its connection is accepted: then the
    // decision needs no wait, no timer and no other thread.
    std::size_t seen = 0;
    if (auto decided = peekNow(socket.native_handle(), seen, inspect)) {
        completion(std::move(socket), std::move(*decided));
        return;
    }
    if (whileWaiting) {
        whileWaiting();
    }
    auto self = std::make_shared<FirstBytesPeek>(std::move(socket), std::move(inspect), std::move(completion));
    // Both waits begin on the strand, so that neither can complete while the other is being armed. From a
    // thread of the pool, with nothing else on the strand, this runs inline.
    asio::dispatch(self->socket_.get_executor(), [self, patience] {
        self->deadline_.expires_after(patience);
        self->deadline_.async_wait([self](const std::error_code& error) {
            if (!error) {
                self->finish({});
            }
        });
        self->waitReadable();
    });
}

std::optional<std::string> FirstBytesPeek::peekNow(int fd, std::size_t& seen, const Inspect& inspect) {
    // Only looked at before the call returns: one buffer per thread, and no size asked for first.
    thread_local std::array<std::uint8_t, Limit> buffer;
    const auto peeked = ::recv(fd, buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT);
    seen = peeked > 0 ? static_cast<std::size_t>(peeked) : 0;
    if (seen == 0) {
        return std::nullopt;
    }
    const PeekedHostname found = inspect(std::span<const std::uint8_t>(buffer.data(), seen));
    if (found.status == PeekedHostname::Status::NeedMore && seen < Limit) {
        return std::nullopt;
    }
    return found.status == PeekedHostname::Status::Found ? found.hostname : std::string();
}

void FirstBytesPeek::waitReadable() {
    waiting_ = true;
    socket_.async_wait(asio::socket_base::wait_read, [self = shared_from_this()](const std::error_code& error) {
        self->waiting_ = false;
        if (self->finished_) {
            self->deliver();
            return;
        }
        self->readable(error);
    });
}

void FirstBytesPeek::readable(const std::error_code& error) {
    if (error) {
        finish({});
        return;
    }
    const std::size_t before = seen_;
    if (auto decided = peekNow(socket_.native_handle(), seen_, inspect_)) {
        finish(std::move(*decided));
        return;
    }
    if (seen_ == 0 || seen_ == before) {
        // Readable with nothing new: the application ended or reset its connection. An end stays readable
        // whatever the low-water mark, so waiting on would spin until the deadline.
        finish({});
        return;
    }
    // Wake only when more has come: what is there now stays readable.
    lowWater_ = static_cast<int>(seen_) + 1;
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &lowWater_, sizeof lowWater_);
    waitReadable();
}

void FirstBytesPeek::finish(std::string hostname) {
    if (finished_) {
        return;
    }
    finished_ = true;
    hostname_ = std::move(hostname);
    deadline_.cancel();
    if (waiting_) {
        std::error_code ignored;
        socket_.cancel(ignored);  // the wait's handler delivers
        return;
    }
    deliver();
}

void FirstBytesPeek::deliver() {
    if (!completion_) {
        return;
    }
    if (lowWater_ != 1) {
        const int one = 1;
        ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
    }
    auto completion = std::move(completion_);
    completion_ = nullptr;
    completion(std::move(socket_), std::move(hostname_));
}

}  // namespace sentorix::linux_system
