#include "SpliceRelay.h"

#include "RateLimitedLog.h"
#include "SocketReader.h"

#include <asio/bind_allocator.hpp>
#include <asio/dispatch.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

namespace sentorix::linux_system {

namespace {

constexpr std::size_t ChunkBytes = PipePool::PipeBytes;

// Plain new and delete. Asio treats std::allocator as leave-it-to-me and recycles through per-thread
// caches, which hand out whatever larger block an earlier operation left behind.
template <typename T>
struct ExactAllocator {
    using value_type = T;
    ExactAllocator() = default;
    template <typename U>
    ExactAllocator(const ExactAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
    template <typename U>
    bool operator==(const ExactAllocator<U>&) const noexcept { return true; }
};

void resetOnClose(int fd) {
    const ::linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

}  // namespace

std::shared_ptr<SpliceRelay> SpliceRelay::start(Strand strand, asio::ip::tcp::socket a, asio::ip::tcp::socket b,
                                                Completion onDone) {
    auto relay = awaiting(std::move(strand), std::move(onDone));
    for (auto [end, socket] : {std::pair{End::A, &a}, std::pair{End::B, &b}}) {
        auto [protocol, fd] = release(*socket);
        relay->adopt(end, protocol, std::move(fd));
    }
    return relay;
}

std::shared_ptr<SpliceRelay> SpliceRelay::start(Strand strand, Socket a, Socket b, Completion onDone) {
    auto relay = awaiting(std::move(strand), std::move(onDone));
    relay->adopt(End::A, std::move(a));
    relay->adopt(End::B, std::move(b));
    return relay;
}

void SpliceRelay::start(Strand strand, asio::ip::tcp::socket a, asio::ip::tcp::socket b,
                        std::function<void()> onDone) {
    start(std::move(strand), std::move(a), std::move(b), Completion([onDone = std::move(onDone)](OptionalError) {
              if (onDone) {
                  onDone();
              }
          }));
}

std::shared_ptr<SpliceRelay> SpliceRelay::awaiting(Strand strand, Completion onDone) {
    return std::make_shared<SpliceRelay>(strand, std::move(onDone));
}

SpliceRelay::SpliceRelay(Strand strand, Completion onDone) : a_(strand), b_(strand), onDone_(std::move(onDone)) {}

std::pair<asio::ip::tcp, UniqueFd> SpliceRelay::release(asio::ip::tcp::socket& socket) {
    std::error_code error;
    const auto protocol = socket.local_endpoint(error).protocol();
    UniqueFd fd;
    if (!error) {
        fd.reset(socket.release(error));
    }
    return {protocol, std::move(fd)};
}

void SpliceRelay::adopt(End end, asio::ip::tcp protocol, UniqueFd socket) {
    // Inline when it comes from the relay's own strand (the flow's end does): one hand-off less before
    // the first bytes move.
    asio::dispatch(strand(), [self = shared_from_this(), end, protocol, socket = std::move(socket)]() mutable {
        self->adopted(end, protocol, std::move(socket));
    });
}

void SpliceRelay::adopted(End end, asio::ip::tcp protocol, UniqueFd socket) {
    if (finished_) {
        if (reset_ && socket.valid()) {
            resetOnClose(socket.get());
        }
        return;  // stopped before this end came: it closes here
    }
    if (!socket.valid()) {
        fail(std::make_error_code(std::errc::not_connected));
        return;
    }
    std::error_code error;
    (end == End::A ? a_ : b_).assign(protocol, socket.get(), error);
    if (error) {
        fail(error);
        return;
    }
    socket.release();
    if (--awaited_ == 0) {
        begin();
    }
}

void SpliceRelay::adopt(End end, Socket socket, bool urgentInLine) {
    asio::dispatch(strand(), [self = shared_from_this(), end, socket = std::move(socket), urgentInLine]() mutable {
        self->adopted(end, std::move(socket), urgentInLine);
    });
}

void SpliceRelay::adopted(End end, Socket socket, bool urgentInLine) {
    if (socket.is_open() && !(socket.get_executor() == strand())) {
        // From another strand: its waits would complete there, so it comes in as a descriptor.
        std::error_code error;
        const auto protocol = socket.local_endpoint(error).protocol();
        adopted(end, protocol, UniqueFd(error ? -1 : socket.release(error)));
        return;
    }
    if (finished_) {
        std::error_code ignored;
        if (reset_ && socket.is_open()) {
            socket.set_option(asio::socket_base::linger(true, 0), ignored);
        }
        return;  // stopped before this end came: it closes here
    }
    if (!socket.is_open()) {
        fail(std::make_error_code(std::errc::not_connected));
        return;
    }
    (end == End::A ? a_ : b_) = std::move(socket);
    urgentInLine_[end == End::A ? 0 : 1] = urgentInLine;
    if (--awaited_ == 0) {
        begin();
    }
}

void SpliceRelay::stop(bool reset) {
    asio::post(strand(), [self = shared_from_this(), reset] {
        if (self->finished_) {
            return;
        }
        if (reset) {
            self->fail(asio::error::operation_aborted);
        } else {
            self->closeAll(asio::error::operation_aborted);
        }
    });
}

void SpliceRelay::begin() {
    if (finished_) {
        return;
    }
    // splice() honours only the descriptors' own mode: a blocking socket with nothing to read would
    // hold the strand's thread, and with it the other direction.
    // A socket asio has waited on through a receive or a connect is in that mode already.
    std::error_code error;
    for (int end = 0; end < 2; ++end) {
        Socket* socket = end == 0 ? &a_ : &b_;
        if (!error && !socket->native_non_blocking()) {
            socket->native_non_blocking(true, error);
        }
        // An urgent byte stays in the stream, where the far end expects it in order: out of line it would
        // be skipped by the copy past the mark, and lost.
        const int inline_ = 1;
        if (!error && !urgentInLine_[end] &&
            ::setsockopt(socket->native_handle(), SOL_SOCKET, SO_OOBINLINE, &inline_, sizeof inline_) != 0) {
            error = std::error_code(errno, std::system_category());
        }
    }
    if (error) {
        fail(error);
        return;
    }
    // The application has usually spoken already (its first bytes decided the flow): splice at once
    // rather than peek first. With nothing there the splice's EAGAIN hands the pipe back and waits.
    if (!takePipe(forward_)) {
        return;
    }
    step(forward_, false);
    // The answer is seldom there yet: the wait's own first receive looks, so a peek here would be a
    // second look at the same empty socket.
    arm(backward_, false);
}

// Only the relay, and its allocator: an idle direction holds its read wait for as long as it is idle.
template <bool Forward>
struct SpliceRelay::ReadWoken {
    std::shared_ptr<SpliceRelay> relay;

    using allocator_type = ExactAllocator<void>;
    allocator_type get_allocator() const noexcept { return {}; }

    void operator()(const std::error_code& error, std::size_t) const {
        Direction& direction = Forward ? relay->forward_ : relay->backward_;
        direction.readArmed = false;
        relay->woken(direction, error, false);
    }
};

void SpliceRelay::arm(Direction& direction, bool forWrite) {
    bool& armed = forWrite ? direction.writeArmed : direction.readArmed;
    if (armed) {
        return;
    }
    armed = true;
    // The sockets' executor is the strand, so the waits complete there.
    if (forWrite) {
        auto woken = [self = shared_from_this(), &direction](const std::error_code& error) {
            direction.writeArmed = false;
            self->woken(direction, error, true);
        };
        sink(direction).async_wait(asio::socket_base::wait_write,
                                   asio::bind_allocator(ExactAllocator<void>(), std::move(woken)));
        return;
    }
    // A peeking receive tries the socket before it waits, under the reactor's lock: bytes or an end that
    // came since the last EAGAIN are seen with no second try here. A wait would not try, and it re-arms
    // the descriptor, which wakes another thread for a socket that is writable.
    const auto probe = asio::buffer(&direction.probe, 1);
    if (&direction == &forward_) {
        source(direction).async_receive(probe, asio::socket_base::message_peek, ReadWoken<true>{shared_from_this()});
    } else {
        source(direction).async_receive(probe, asio::socket_base::message_peek, ReadWoken<false>{shared_from_this()});
    }
}

void SpliceRelay::woken(Direction& direction, const std::error_code& error, bool forWrite) {
    if (finished_ || direction.done) {
        return;
    }
    if (error == asio::error::eof && !forWrite) {
        if (direction.inPipe == 0) {
            finishDirection(direction);
            return;
        }
        // The pipe still holds bytes that a step took after this wait was armed: they go first, and the
        // step meets the end itself once they are out.
        step(direction, false);
        return;
    }
    if (error) {
        fail(error);
        return;
    }
    if (!forWrite && !direction.pipe.valid() && !takePipe(direction)) {
        return;  // the peek has seen bytes already: no need to look again
    }
    step(direction, !forWrite);
}

bool SpliceRelay::takePipe(Direction& direction) {
    auto pipe = PipePool::shared().take();
    if (!pipe) {
        const std::error_code error(static_cast<int>(pipe.error().code()), std::system_category());
        RateLimitedLog::noteIfDescriptorShortage("create a pipe to relay a connection", error);
        fail(error);
        return false;
    }
    direction.pipe = std::move(*pipe);
    return true;
}

// Reads wait with a receive that looks first. Writes wait with async_wait, which does not, so after an
// EAGAIN on the sink the wait is armed and the step tried once more: room that came in between is not
// lost.
// `bytesSeen`: a peek has just found bytes to read. splice() stops short of an urgent mark and says
// EAGAIN there for as long as nothing reads past it, so EAGAIN with bytes seen and none moved is the mark.
void SpliceRelay::step(Direction& direction, bool bytesSeen) {
    bool retried = false;
    while (!finished_ && !direction.done) {
        ssize_t n;
        if (direction.inPipe > 0) {
            n = ::splice(direction.pipe.read.get(), nullptr, sink(direction).native_handle(), nullptr,
                         direction.inPipe, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                direction.inPipe -= static_cast<std::uint32_t>(n);
                retried = false;
                continue;
            }
        } else if (!direction.pipe.valid()) {
            // At rest without a pipe: a peek says whether bytes or the end of data have come.
            char probe;
            n = ::recv(source(direction).native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0) {
                if (!takePipe(direction)) {
                    return;
                }
                bytesSeen = true;
                continue;
            }
            if (n == 0) {
                finishDirection(direction);
                return;
            }
        } else {
            n = ::splice(source(direction).native_handle(), nullptr, direction.pipe.write.get(), nullptr, ChunkBytes,
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                direction.inPipe = static_cast<std::uint32_t>(n);
                bytesSeen = false;
                continue;
            }
            if (n == 0) {
                finishDirection(direction);
                return;
            }
            if (errno == EAGAIN && std::exchange(bytesSeen, false)) {
                if (!copyPastMark(direction)) {
                    return;
                }
                continue;
            }
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error != EAGAIN) {
            fail(std::error_code(error, std::system_category()));
            return;
        }
        if (direction.inPipe == 0) {
            if (direction.pipe.valid()) {
                PipePool::shared().give(std::move(direction.pipe));  // drained: rest without a pipe
                direction.pipe = {};
            }
            arm(direction, false);
            return;
        }
        if (retried) {
            return;
        }
        arm(direction, true);
        retried = true;
    }
}

bool SpliceRelay::copyPastMark(Direction& direction) {
    // A page: what any pipe holds, however small its user's allowance left it.
    char bytes[4096];
    const ssize_t n = ::recv(source(direction).native_handle(), bytes, sizeof bytes, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            return true;  // nothing after all: the step waits as after any EAGAIN
        }
        fail(std::error_code(errno, std::system_category()));
        return false;
    }
    if (n == 0) {
        finishDirection(direction);
        return false;
    }
    // Through the empty pipe, so the bytes keep their place before whatever is spliced next.
    if (::write(direction.pipe.write.get(), bytes, std::size_t(n)) != n) {
        fail(std::make_error_code(std::errc::no_buffer_space));
        return false;
    }
    direction.inPipe = static_cast<std::uint32_t>(n);
    return true;
}

void SpliceRelay::finishDirection(Direction& direction) {
    direction.done = true;
    if (direction.inPipe == 0) {
        PipePool::shared().give(std::move(direction.pipe));  // a pipe with bytes left closes instead
    }
    direction.pipe = {};
    direction.inPipe = 0;
    if (forward_.done && backward_.done) {
        // Both sources have ended, so nothing is left unread: closing sends this end of data itself.
        closeAll({});
        return;
    }
    std::error_code ignored;
    sink(direction).shutdown(asio::socket_base::shutdown_send, ignored);
}

void SpliceRelay::fail(std::error_code error) {
    if (finished_) {
        return;
    }
    // Reset both sides, so that each peer sees the failure rather than a clean end.
    reset_ = true;
    std::error_code ignored;
    a_.set_option(asio::socket_base::linger(true, 0), ignored);
    b_.set_option(asio::socket_base::linger(true, 0), ignored);
    closeAll(error);
}

void SpliceRelay::closeAll(std::error_code error) {
    if (std::exchange(finished_, true)) {
        return;
    }
    std::error_code ignored;
    a_.close(ignored);
    b_.close(ignored);
    // A pipe still holding bytes is closed rather than kept.
    for (Direction* direction : {&forward_, &backward_}) {
        if (direction->inPipe == 0) {
            PipePool::shared().give(std::move(direction->pipe));
        }
        direction->pipe = {};
        direction->inPipe = 0;
    }
    if (auto done = std::move(onDone_)) {
        done(error ? OptionalError(errorFrom(error)) : std::nullopt);
    }
}

}  // namespace sentorix::linux_system
