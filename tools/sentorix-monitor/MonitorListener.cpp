#include "MonitorListener.h"


#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

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
      acceptor_(io),
      gathering_(io) {}

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
    gathering_.cancel();
    if (bound_) {
        ::unlink(socketPath_.c_str());
        bound_ = false;
    }
}

// One sender's connection. Most senders have sent their frame and closed by the time they are accepted,
// so a peer is a bare descriptor, read at once; only one that has more to send is handed to the event
// loop to wait for.
class MonitorListener::Peer {
public:
    Peer(asio::io_context& io, int fd) : socket_(io), fd_(fd) {}
    Peer(Peer&& other) noexcept
        : partial(std::move(other.partial)), socket_(std::move(other.socket_)), fd_(std::exchange(other.fd_, -1)) {}
    Peer& operator=(Peer&&) = delete;
    ~Peer() {
        if (fd_ >= 0 && !socket_.is_open()) {
            ::close(fd_);
        }
    }

    int fd() const { return fd_; }
    // The loop's socket, which owns the descriptor from the first wait on.
    asio::local::stream_protocol::socket& socket() {
        if (!socket_.is_open()) {
            std::error_code ignored;
            socket_.assign(asio::local::stream_protocol(), fd_, ignored);
        }
        return socket_;
    }

    std::string partial;  // the start of a frame still coming

private:
    asio::local::stream_protocol::socket socket_;
    int fd_;
};

void MonitorListener::accept() {
    acceptor_.async_wait(asio::socket_base::wait_read, [this](const std::error_code& error) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        drain();
    });
}

void MonitorListener::drain() {
    // Every connection waiting now, not one per wake-up.
    std::size_t taken = 0;
    for (;; ++taken) {
        const int fd = ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            break;  // none left waiting (or a peer gone before it was taken)
        }
        Peer peer(io_, fd);
        if (read(peer)) {
            wait(std::make_shared<Peer>(std::move(peer)));
        }
    }
    if (taken == 0) {
        accept();
        return;
    }
    // Events come in bursts: gather the rest of this one for a moment and take them together, rather than
    // be woken by each (every wake-up costs the sender too). The backlog holds them meanwhile.
    gathering_.expires_after(GatherFor);
    gathering_.async_wait([this](const std::error_code& error) {
        if (!error && acceptor_.is_open()) {
            drain();
        }
    });
}

void MonitorListener::wait(const std::shared_ptr<Peer>& peer) {
    peer->socket().async_wait(asio::socket_base::wait_read, [this, peer](const std::error_code& waited) {
        if (!waited && read(*peer)) {
            wait(peer);
        }
    });
}

bool MonitorListener::read(Peer& peer) {
    std::array<char, 65536> chunk;
    // Two receives in one call: after a sender's frame the second usually meets its end of data, or finds
    // nothing yet, so a whole connection is read in one call rather than two or three.
    constexpr std::size_t Half = chunk.size() / 2;
    iovec parts[2] = {{chunk.data(), Half}, {chunk.data() + Half, Half}};
    mmsghdr received[2]{};
    for (int i = 0; i < 2; ++i) {
        received[i].msg_hdr.msg_iov = &parts[i];
        received[i].msg_hdr.msg_iovlen = 1;
    }
    // A sender that never pauses gets a share of each wake-up, not all of it: then it waits its turn.
    for (int reads = 0; reads < 16; ++reads) {
        const int got = ::recvmmsg(peer.fd(), received, 2, MSG_DONTWAIT, nullptr);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        for (int i = 0; i < std::max(got, 0); ++i) {
            if (received[i].msg_len == 0) {
                ended(peer);
                return false;
            }
            if (!take(peer, std::string_view(static_cast<const char*>(parts[i].iov_base), received[i].msg_len))) {
                return false;
            }
        }
        if (got <= 0) {
            ended(peer);  // an error: done with it, as at an end
            return false;
        }
        if (got < 2) {
            return true;  // the second found nothing yet (or an error, which the next wake-up reports)
        }
    }
    return true;
}

void MonitorListener::ended(Peer& peer) {
    if (peer.partial.size() >= 4) {
        onProblem_("peer disconnected in the middle of a frame of " + std::to_string(frameLength(peer.partial)) +
                   " bytes");
    } else if (!peer.partial.empty()) {
        onProblem_("peer disconnected in the middle of a frame header");
    }
    // At the end between frames, a clean one.
}

bool MonitorListener::take(Peer& peer, std::string_view bytes) {
    if (peer.partial.empty()) {
        if (!takeFrames(bytes)) {
            return false;
        }
        peer.partial.assign(bytes);
        return true;
    }
    peer.partial.append(bytes);
    std::string pending = std::move(peer.partial);
    peer.partial.clear();
    std::string_view rest(pending);
    if (!takeFrames(rest)) {
        return false;
    }
    peer.partial.assign(rest);
    return true;
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
