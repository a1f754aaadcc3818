#include "SpliceRelay.h"

#include "RateLimitedLog.h"

#include <asio/bind_executor.hpp>
#include <asio/dispatch.hpp>

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>

namespace sentorix::linux_system {

namespace {
constexpr std::size_t ChunkBytes = 1 << 20;
constexpr int PipeBytes = 1 << 20;
}  // namespace

void SpliceRelay::start(Strand strand, asio::ip::tcp::socket a, asio::ip::tcp::socket b, std::function<void()> onDone) {
    auto relay = std::make_shared<SpliceRelay>(strand, std::move(a), std::move(b), std::move(onDone));
    asio::dispatch(strand, [relay] { relay->begin(); });
}

SpliceRelay::SpliceRelay(Strand strand, asio::ip::tcp::socket a, asio::ip::tcp::socket b,
                         std::function<void()> onDone)
    : strand_(std::move(strand)), a_(std::move(a)), b_(std::move(b)), onDone_(std::move(onDone)) {
    forward_.from = &a_;
    forward_.to = &b_;
    backward_.from = &b_;
    backward_.to = &a_;
}

void SpliceRelay::begin() {
    // splice() honours only the descriptors' own mode: a blocking socket with nothing to read would
    // hold the strand's thread, and with it the other direction.
    std::error_code error;
    a_.non_blocking(true, error);
    if (!error) {
        b_.non_blocking(true, error);
    }
    if (error) {
        fail();
        return;
    }
    step(forward_);
    step(backward_);
}

void SpliceRelay::arm(Direction& direction, bool forWrite) {
    bool& armed = forWrite ? direction.writeArmed : direction.readArmed;
    if (armed) {
        return;
    }
    armed = true;
    auto& socket = forWrite ? *direction.to : *direction.from;
    socket.async_wait(forWrite ? asio::socket_base::wait_write : asio::socket_base::wait_read,
                      asio::bind_executor(strand_, [self = shared_from_this(), &direction, &armed](
                                                       const std::error_code& error) {
                          armed = false;
                          error ? self->fail() : self->step(direction);
                      }));
}

// The reactor is edge-triggered and a wait does not look at the socket first, so after each EAGAIN the
// wait is armed and the splice tried once more: readiness that came in between is not lost.
void SpliceRelay::step(Direction& direction) {
    bool retried = false;
    while (!finished_ && !direction.done) {
        ssize_t n;
        if (direction.inPipe > 0) {
            n = ::splice(direction.pipeRead.get(), nullptr, direction.to->native_handle(), nullptr, direction.inPipe,
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                direction.inPipe -= static_cast<std::size_t>(n);
                retried = false;
                continue;
            }
        } else if (!direction.pipeWrite.valid()) {
            // No pipe until data comes: an idle connection costs its two sockets and nothing more.
            char probe;
            n = ::recv(direction.from->native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0) {
                int fds[2];
                if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
                    RateLimitedLog::noteIfDescriptorShortage("create a pipe to relay a connection",
                                                             std::error_code(errno, std::system_category()));
                    fail();
                    return;
                }
                direction.pipeRead.reset(fds[0]);
                direction.pipeWrite.reset(fds[1]);
                ::fcntl(fds[1], F_SETPIPE_SZ, PipeBytes);  // larger moves; best effort
                retried = false;
                continue;
            }
            if (n == 0) {
                finishDirection(direction);
                return;
            }
        } else {
            n = ::splice(direction.from->native_handle(), nullptr, direction.pipeWrite.get(), nullptr, ChunkBytes,
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                direction.inPipe = static_cast<std::size_t>(n);
                retried = false;
                continue;
            }
            if (n == 0) {
                finishDirection(direction);
                return;
            }
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN || retried) {
            if (errno != EAGAIN) {
                fail();
            }
            return;
        }
        arm(direction, direction.inPipe > 0);
        retried = true;
    }
}

void SpliceRelay::finishDirection(Direction& direction) {
    direction.done = true;
    std::error_code ignored;
    direction.to->shutdown(asio::socket_base::shutdown_send, ignored);
    if (forward_.done && backward_.done) {
        closeAll();
    }
}

void SpliceRelay::fail() {
    if (finished_) {
        return;
    }
    // Reset both sides, so that each peer sees the failure rather than a clean end.
    std::error_code ignored;
    a_.set_option(asio::socket_base::linger(true, 0), ignored);
    b_.set_option(asio::socket_base::linger(true, 0), ignored);
    closeAll();
}

void SpliceRelay::closeAll() {
    if (std::exchange(finished_, true)) {
        return;
    }
    std::error_code ignored;
    a_.close(ignored);
    b_.close(ignored);
    forward_.pipeRead.reset();
    forward_.pipeWrite.reset();
    backward_.pipeRead.reset();
    backward_.pipeWrite.reset();
    if (auto done = std::move(onDone_)) {
        done();
    }
}

}  // namespace sentorix::linux_system
