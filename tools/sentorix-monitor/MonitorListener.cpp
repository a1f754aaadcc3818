#include "MonitorListener.h"


#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

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

// The big-endian length at the start of a frame's first four bytes.
std::uint32_t frameLength(std::string_view bytes) {
    const auto* header = reinterpret_cast<const unsigned char*>(bytes.data());
    return (std::uint32_t(header[0]) << 24) | (std::uint32_t(header[1]) << 16) | (std::uint32_t(header[2]) << 8) |
           std::uint32_t(header[3]);
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
    if (!error) {
        acceptor_.non_blocking(true, error);  // each wake-up takes every connection waiting
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

struct MonitorListener::Peer {
    explicit Peer(asio::local::stream_protocol::socket socket) : socket(std::move(socket)) {}
    asio::local::stream_protocol::socket socket;
    std::string partial;  // the start of a frame still coming
};

void MonitorListener::accept() {
    acceptor_.async_wait(asio::socket_base::wait_read, [this](const std::error_code& error) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        for (;;) {
            std::error_code failed;
            asio::local::stream_protocol::socket peer(io_);
            acceptor_.accept(peer, failed);
            if (failed) {
                break;  // none left waiting (or a peer gone before it was taken)
            }
            peer.non_blocking(true, failed);
            if (!failed) {
                read(std::make_shared<Peer>(std::move(peer)));
            }
        }
        accept();
    });
}

void MonitorListener::read(const std::shared_ptr<Peer>& peer) {
    std::array<char, 65536> chunk;
    for (;;) {
        std::error_code error;
        const std::size_t got = peer->socket.read_some(asio::buffer(chunk), error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            peer->socket.async_wait(asio::socket_base::wait_read, [this, peer](const std::error_code& waited) {
                if (!waited) {
                    read(peer);
                }
            });
            return;
        }
        if (error) {
            if (peer->partial.size() >= 4) {
                onProblem_("peer disconnected in the middle of a frame of " +
                           std::to_string(frameLength(peer->partial)) + " bytes");
            } else if (!peer->partial.empty()) {
                onProblem_("peer disconnected in the middle of a frame header");
            }
            return;  // at the end between frames, a clean one
        }
        std::string_view bytes(chunk.data(), got);
        if (!peer->partial.empty()) {
            peer->partial.append(bytes);
            std::string pending = std::move(peer->partial);
            peer->partial.clear();
            std::string_view rest(pending);
            if (!takeFrames(rest)) {
                return;
            }
            peer->partial.assign(rest);
        } else {
            if (!takeFrames(bytes)) {
                return;
            }
            peer->partial.assign(bytes);
        }
    }
}

bool MonitorListener::takeFrames(std::string_view& bytes) {
    while (bytes.size() >= 4) {
        const std::uint32_t length = frameLength(bytes);
        if (length > MaxFrameBytes) {
            onProblem_("refused a frame of " + std::to_string(length) + " bytes (limit " +
                       std::to_string(MaxFrameBytes) + ")");
            return false;
        }
        if (bytes.size() - 4 < length) {
            break;
        }
        const std::string payload(bytes.substr(4, length));
        if (payload.find_first_of("\r\n") != std::string::npos) {
            onProblem_("refused a frame that is not one line of JSON");
        } else {
            onFrame_(payload);
        }
        bytes.remove_prefix(4 + std::size_t(length));
    }
    return true;
}
