#include "SocketTCPConnection.h"

#include "RateLimitedLog.h"
#include "SocketReader.h"
#include "UniqueFd.h"

#include <asio/dispatch.hpp>
#include <asio/error.hpp>
#include <asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

namespace sentorix::linux_system {

SocketTCPConnection::SocketTCPConnection(FlowStrand strand) : strand_(std::move(strand)), socket_(strand_) {}

std::shared_ptr<SocketTCPConnection> SocketTCPConnection::connect(const NWHostEndpoint& endpoint,
                                                                  std::optional<int> mark,
                                                                  std::optional<FlowStrand> strand) {
    auto connection = std::make_shared<SocketTCPConnection>(strand ? std::move(*strand) : newFlowStrand());
    connection->start(endpoint, mark);
    return connection;
}

void SocketTCPConnection::start(const NWHostEndpoint& endpoint, std::optional<int> mark) {
    setState(NWTCPConnectionState::Connecting);
    asio::dispatch(strand_, [self = shared_from_this(), host = endpoint.hostname(), port = endpoint.port(), mark] {
        std::error_code error;
        const auto address = asio::ip::make_address(host, error);
        unsigned long portNumber = 0;
        try {
            portNumber = std::stoul(port);
        } catch (...) {
            error = asio::error::invalid_argument;
        }
        if (error || portNumber > 65535) {
            self->setState(NWTCPConnectionState::Disconnected, NSError::posix(EINVAL, "Invalid proxy endpoint"));
            return;
        }
        const asio::ip::tcp::endpoint target(address, static_cast<unsigned short>(portNumber));
        // Made and connected here, handed to the event loop only once connecting: an unconnected socket
        // registered with it reports a hang-up that wakes a thread for nothing, and the loop's own connect
        // polls once more before it asks for the result.
        UniqueFd fd(::socket(target.protocol().family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
        if (!fd.valid()) {
            error = std::error_code(errno, std::system_category());
            RateLimitedLog::noteIfDescriptorShortage("open a socket to the proxy", error);
        }
        const int one = 1;
        if (!error && mark) {
            const int value = *mark;
            if (::setsockopt(fd.get(), SOL_SOCKET, SO_MARK, &value, sizeof value) != 0) {
                error = std::error_code(errno, std::system_category());
            }
        }
        if (error) {
            self->setState(NWTCPConnectionState::Disconnected, errorFrom(error));
            return;
        }
        // What a relay of this socket needs, set while it is being made.
        if (::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
            ::setsockopt(fd.get(), SOL_SOCKET, SO_OOBINLINE, &one, sizeof one) != 0) {
            self->setState(NWTCPConnectionState::Disconnected, errorFrom(std::error_code(errno, std::system_category())));
            return;
        }
        if (::connect(fd.get(), target.data(), target.size()) != 0 && errno != EINPROGRESS) {
            self->setState(NWTCPConnectionState::Disconnected, errorFrom(std::error_code(errno, std::system_category())));
            return;
        }
        self->socket_.assign(target.protocol(), fd.get(), error);
        if (error) {
            self->setState(NWTCPConnectionState::Disconnected, errorFrom(error));
            return;
        }
        fd.release();
        self->socket_.async_wait(asio::socket_base::wait_write, [self](const std::error_code& waitError) {
            if (waitError == asio::error::operation_aborted || !self->socket_.is_open()) {
                return;  // cancelled meanwhile
            }
            int failure = 0;
            socklen_t size = sizeof failure;
            if (waitError) {
                failure = waitError.value();
            } else if (::getsockopt(self->socket_.native_handle(), SOL_SOCKET, SO_ERROR, &failure, &size) != 0) {
                failure = errno;
            }
            if (failure != 0) {
                self->setState(NWTCPConnectionState::Disconnected,
                               errorFrom(std::error_code(failure, std::system_category())));
            } else {
                self->setState(NWTCPConnectionState::Connected);
            }
        });
    });
}

NWTCPConnectionState SocketTCPConnection::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

OptionalError SocketTCPConnection::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void SocketTCPConnection::addObserver(std::weak_ptr<NSKeyValueObserving> observer, const std::string& keyPath) {
    std::lock_guard lock(mutex_);
    observers_.push_back(Observer{observer, observer.lock().get(), keyPath});
}

void SocketTCPConnection::removeObserver(NSKeyValueObserving* observer, const std::string& keyPath) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [&](const Observer& o) { return o.raw == observer && o.keyPath == keyPath; });
}

void SocketTCPConnection::setState(NWTCPConnectionState state, OptionalError error) {
    std::vector<std::shared_ptr<NSKeyValueObserving>> toNotify;
    {
        std::lock_guard lock(mutex_);
        if (state_ == NWTCPConnectionState::Cancelled || state_ == state) {
            return;  // cancelled is final
        }
        state_ = state;
        if (error) {
            error_ = std::move(error);
        }
        std::erase_if(observers_, [](const Observer& o) { return o.observer.expired(); });
        for (const auto& o : observers_) {
            if (o.keyPath == "state") {
                if (auto live = o.observer.lock()) {
                    toNotify.push_back(std::move(live));
                }
            }
        }
    }
    for (const auto& observer : toNotify) {
        observer->observeValue("state", this);
    }
}

void SocketTCPConnection::write(NSData data, std::function<void(OptionalError)> completionHandler) {
    asio::dispatch(strand_, [self = shared_from_this(), data = std::move(data),
                             completion = std::move(completionHandler)]() mutable {
        auto buffer = std::make_shared<NSData>(std::move(data));
        asio::async_write(self->socket_, asio::buffer(*buffer),
                          [self, buffer, completion = std::move(completion)](const std::error_code& error, std::size_t) {
                              completion(error ? OptionalError(errorFrom(error)) : std::nullopt);
                          });
    });
}

void SocketTCPConnection::writeClose() {
    asio::dispatch(strand_, [self = shared_from_this()] {
        std::error_code ignored;
        self->socket_.shutdown(asio::socket_base::shutdown_send, ignored);
    });
}

void SocketTCPConnection::readMinimumLength(std::size_t minimum, std::size_t maximum,
                                            std::function<void(NSData, OptionalError)> completionHandler) {
    asio::dispatch(strand_, [self = shared_from_this(), minimum, maximum,
                             completion = std::move(completionHandler)]() mutable {
        self->readAtLeast(std::max<std::size_t>(minimum, 1), std::max<std::size_t>(maximum, 1), {},
                          std::move(completion));
    });
}

void SocketTCPConnection::readAtLeast(std::size_t minimum, std::size_t maximum, NSData collected,
                                      std::function<void(NSData, OptionalError)> completion) {
    readWhenReadable(socket_, peekByte_, maximum - collected.size(),
                     [self = shared_from_this(), minimum, maximum, collected = std::move(collected),
                      completion = std::move(completion)](NSData data, OptionalError error) mutable {
                         if (error || data.empty()) {
                             // An end of data before the minimum hands over what arrived.
                             completion(error ? NSData{} : std::move(collected), std::move(error));
                             return;
                         }
                         if (collected.empty()) {
                             collected = std::move(data);
                         } else {
                             collected.insert(collected.end(), data.begin(), data.end());
                         }
                         if (collected.size() >= minimum) {
                             completion(std::move(collected), std::nullopt);
                         } else {
                             self->readAtLeast(minimum, maximum, std::move(collected), std::move(completion));
                         }
                     });
}

void SocketTCPConnection::releaseSocket(std::function<void(FlowSocket)> receiver) {
    asio::dispatch(strand_, [self = shared_from_this(), receiver = std::move(receiver)] {
        receiver(std::move(self->socket_));
    });
}

void SocketTCPConnection::cancel() {
    setState(NWTCPConnectionState::Cancelled);
    asio::dispatch(strand_, [self = shared_from_this()] {
        std::error_code ignored;
        self->socket_.close(ignored);
    });
}

}  // namespace sentorix::linux_system
