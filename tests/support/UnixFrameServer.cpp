#include "UnixFrameServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace sentorix::testing {

UnixFrameServer::UnixFrameServer(std::string path, bool reads) : path_(std::move(path)), reads_(reads) {
    ::unlink(path_.c_str());
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 64) != 0) {
        throw std::runtime_error("cannot listen on " + path_ + ": " + std::strerror(errno));
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    wakeRead_.reset(pipeFds[0]);
    wakeWrite_.reset(pipeFds[1]);
    thread_ = std::thread([this] { run(); });
}

UnixFrameServer::~UnixFrameServer() {
    const char byte = 0;
    (void)!::write(wakeWrite_.get(), &byte, 1);
    thread_.join();
    ::unlink(path_.c_str());
}

void UnixFrameServer::run() {
    for (;;) {
        pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents) {
            return;
        }
        UniqueFd peer(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!peer.valid()) {
            continue;
        }
        if (!reads_) {
            std::lock_guard lock(mutex_);
            held_.push_back(std::move(peer));
            continue;
        }
        std::string bytes;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(peer.get(), buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            bytes.append(buffer, size_t(n));
        }
        peer.reset();  // closed before it counts, so that a test that waits for it sees no descriptor of ours
        {
            std::lock_guard lock(mutex_);
            connections_.push_back(std::move(bytes));
        }
        changed_.notify_all();
    }
}

std::vector<std::string> UnixFrameServer::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

bool UnixFrameServer::waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connections_.size() >= count; });
}

std::vector<std::string> UnixFrameServer::payloads() const {
    std::vector<std::string> result;
    for (const auto& bytes : connections()) {
        if (bytes.size() >= 4) {
            result.push_back(bytes.substr(4));
        }
    }
    return result;
}

bool UnixFrameServer::waitForPayloads(const std::function<bool(const std::vector<std::string>&)>& done,
                                      std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::size_t seen = 0;
        {
            std::lock_guard lock(mutex_);
            seen = connections_.size();
        }
        if (done(payloads())) {  // outside the lock: the check is the caller's code
            return true;
        }
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [&] { return connections_.size() > seen; })) {
            return false;
        }
    }
}

TempDir::TempDir() {
    char pattern[] = "/tmp/sxt.XXXXXX";
    if (!::mkdtemp(pattern)) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace sentorix::testing
