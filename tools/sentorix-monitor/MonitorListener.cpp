#include "MonitorListener.h"

#include <asio/read.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace {

// True when something accepts connections at the path.
bool someoneListens(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

MonitorListener::MonitorListener(asio::io_context& io, std::string socketPath,
                                 std::function<void(const std::string&)> onFrame,
                                 std::function<void(const std::string&)> onProblem)
    : io_(io),
      socketPath_(std::move(socketPath)),
      onFrame_(std::move(onFrame)),
      onProblem_(std::move(onProblem)),
      acceptor_(io) {}

MonitorListener::~MonitorListener() { close(); }

std::string MonitorListener::open() {
    if (socketPath_.empty() || socketPath_.size() >= sizeof(sockaddr_un{}.sun_path)) {
        return "socket path must be 1 to " + std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes";
    }
    struct stat info{};
    if (::lstat(socketPath_.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            return socketPath_ + " exists and is not a socket; not replacing it";
        }
        if (someoneListens(socketPath_)) {
            return "another listener is already using " + socketPath_;
        }
        ::unlink(socketPath_.c_str());
    }
    std::error_code error;
    asio::local::stream_protocol::endpoint endpoint(socketPath_);
    acceptor_.open(endpoint.protocol(), error);
    if (!error) {
        acceptor_.bind(endpoint, error);
    }
    if (!error) {
        bound_ = true;
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        close();
        return "cannot listen on " + socketPath_ + ": " + error.message();
    }
    accept();
    return {};
}

void MonitorListener::close() {
    std::error_code ignored;
    acceptor_.close(ignored);
    if (bound_) {
        ::unlink(socketPath_.c_str());
        bound_ = false;
    }
}

void MonitorListener::accept() {
    acceptor_.async_accept([this](const std::error_code& error, asio::local::stream_protocol::socket peer) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        if (!error) {
            readHeader(std::make_shared<asio::local::stream_protocol::socket>(std::move(peer)));
        }
        accept();
    });
}

void MonitorListener::readHeader(std::shared_ptr<asio::local::stream_protocol::socket> peer) {
    auto header = std::make_shared<std::array<unsigned char, 4>>();
    asio::async_read(*peer, asio::buffer(*header),
                     [this, peer, header](const std::error_code& error, std::size_t received) {
                         if (error) {
                             if (received > 0) {
                                 onProblem_("peer disconnected in the middle of a frame header");
                             }
                             return;  // a clean end between frames
                         }
                         const std::uint32_t length = (std::uint32_t((*header)[0]) << 24) |
                                                      (std::uint32_t((*header)[1]) << 16) |
                                                      (std::uint32_t((*header)[2]) << 8) | std::uint32_t((*header)[3]);
                         if (length > MaxFrameBytes) {
                             onProblem_("refused a frame of " + std::to_string(length) + " bytes (limit " +
                                        std::to_string(MaxFrameBytes) + ")");
                             return;
                         }
                         readPayload(peer, length);
                     });
}

void MonitorListener::readPayload(std::shared_ptr<asio::local::stream_protocol::socket> peer, std::uint32_t length) {
    auto payload = std::make_shared<std::string>(length, '\0');
    asio::async_read(*peer, asio::buffer(*payload), [this, peer, payload](const std::error_code& error, std::size_t) {
        if (error) {
            onProblem_("peer disconnected in the middle of a frame of " + std::to_string(payload->size()) + " bytes");
            return;
        }
        if (payload->find_first_of("\r\n") != std::string::npos) {
            onProblem_("refused a frame that is not one line of JSON");
        } else {
            onFrame_(*payload);
        }
        readHeader(peer);
    });
}
