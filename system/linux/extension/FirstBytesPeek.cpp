#include "FirstBytesPeek.h"

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>

#include <sys/ioctl.h>
#include <sys/socket.h>

namespace sentorix::linux_system {

FirstBytesPeek::FirstBytesPeek(asio::ip::tcp::socket socket, Inspect inspect, Completion completion)
    : strand_(asio::make_strand(socket.get_executor())),
      socket_(std::move(socket)),
      deadline_(strand_),
      inspect_(std::move(inspect)),
      completion_(std::move(completion)) {}

void FirstBytesPeek::start(asio::ip::tcp::socket socket, Inspect inspect, Completion completion,
                           std::chrono::milliseconds patience) {
    auto self = std::make_shared<FirstBytesPeek>(std::move(socket), std::move(inspect), std::move(completion));
    asio::post(self->strand_, [self, patience] {
        self->deadline_.expires_after(patience);
        self->deadline_.async_wait([self](const std::error_code& error) {
            if (!error) {
                self->finish({});
            }
        });
        self->waitReadable();
    });
}

void FirstBytesPeek::waitReadable() {
    waiting_ = true;
    socket_.async_wait(asio::socket_base::wait_read,
                       asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error) {
                           self->waiting_ = false;
                           if (self->finished_) {
                               self->deliver();
                               return;
                           }
                           self->readable(error);
                       }));
}

void FirstBytesPeek::readable(const std::error_code& error) {
    if (error) {
        finish({});
        return;
    }
    int available = 0;
    if (::ioctl(socket_.native_handle(), FIONREAD, &available) != 0 || available <= 0) {
        finish({});  // the application ended or reset its connection before sending anything
        return;
    }
    bytes_.resize(std::min<std::size_t>(static_cast<std::size_t>(available), Limit));
    const auto peeked = ::recv(socket_.native_handle(), bytes_.data(), bytes_.size(), MSG_PEEK | MSG_DONTWAIT);
    if (peeked <= 0) {
        finish({});
        return;
    }
    bytes_.resize(static_cast<std::size_t>(peeked));
    const PeekedHostname found = inspect_(bytes_);
    if (found.status != PeekedHostname::Status::NeedMore || bytes_.size() >= Limit) {
        finish(found.status == PeekedHostname::Status::Found ? found.hostname : std::string());
        return;
    }
    // Wake only when more has come: what is there now stays readable.
    lowWater_ = static_cast<int>(bytes_.size()) + 1;
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
    bytes_ = {};
    auto completion = std::move(completion_);
    completion_ = nullptr;
    completion(std::move(socket_), std::move(hostname_));
}

}  // namespace sentorix::linux_system
