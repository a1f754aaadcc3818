#include "ControlServer.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace sentorix::linux_system {

namespace {

using Protocol = asio::local::stream_protocol;

std::optional<gid_t> groupId() {
    // A group with many members needs more room than the usual 4 KiB.
    for (std::size_t size = 4096; size <= 4 * 1024 * 1024; size *= 4) {
        std::vector<char> buffer(size);
        group entry{};
        group* found = nullptr;
        const int status = ::getgrnam_r(ControlServer::GroupName, &entry, buffer.data(), buffer.size(), &found);
        if (status == ERANGE) {
            continue;
        }
        if (status != 0 || !found) {
            return std::nullopt;
        }
        return found->gr_gid;
    }
    return std::nullopt;
}

}  // namespace

bool ControlServer::authorises(int socket, const ucred& credentials, std::optional<gid_t> group) {
    if (credentials.uid == 0) {
        return true;
    }
    if (!group) {
        return false;
    }
    if (credentials.gid == *group) {
        return true;
    }
    // The supplementary groups the peer had when it connected.
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 4; ++attempt) {
        socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            for (const gid_t member : groups) {
                if (member == *group) {
                    return true;
                }
            }
            return false;
        }
        if (errno != ERANGE) {
            return false;
        }
        groups.resize(size / sizeof(gid_t) + 1);
    }
    return false;
}

Result<std::unique_ptr<ControlServer>> ControlServer::listen(asio::io_context& io, const std::string& path,
                                                             Handler handler, std::chrono::milliseconds idle) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !fs::exists(parent, error)) {
        fs::create_directories(parent, error);
        if (!error) {
            ::chmod(parent.c_str(), 0755);
        }
    }
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            return failure(EEXIST, path + " exists and is not a socket");
        }
        Protocol::socket probe(io);
        probe.connect(Protocol::endpoint(path), error);
        if (!error) {
            return failure(EADDRINUSE, "another service is listening on " + path);
        }
        ::unlink(path.c_str());
    }
    Protocol::acceptor acceptor(io);
    acceptor.open(Protocol(), error);
    if (!error) {
        acceptor.bind(Protocol::endpoint(path), error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        return failure(error.value(), "cannot listen on " + path + ": " + error.message());
    }
    ::chmod(path.c_str(), 0666);
    auto server = std::make_unique<ControlServer>(std::move(acceptor), path, std::move(handler), idle);
    server->accept();
    return Result<std::unique_ptr<ControlServer>>(std::move(server));
}

ControlServer::ControlServer(Protocol::acceptor acceptor, std::string path, Handler handler,
                             std::chrono::milliseconds idle)
    : acceptor_(std::move(acceptor)), path_(std::move(path)), handler_(std::move(handler)), idle_(idle) {}

ControlServer::~ControlServer() {
    std::error_code ignored;
    acceptor_.close(ignored);
    for (auto& [raw, held] : std::unordered_map(sessions_)) {
        held.session->close();
    }
    ::unlink(path_.c_str());
}

void ControlServer::accept() {
    acceptor_.async_accept([this](const std::error_code& error, Protocol::socket socket) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (!error) {
            ucred peer{};
            socklen_t length = sizeof peer;
            if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
                !admits(peer.uid)) {
                std::error_code ignored;
                socket.close(ignored);
            } else {
                const bool authorised = authorises(socket.native_handle(), peer, groupId());
                auto session = std::make_shared<ControlSession>(std::move(socket), authorised, idle_, handler_,
                                                                [this](ControlSession* ended) { release(ended); });
                sessions_.emplace(session.get(), Held{session, peer.uid});
                ++perUser_[peer.uid];
                session->begin();
            }
        }
        accept();
    });
}

bool ControlServer::admits(uid_t uid) const {
    if (uid == 0) {
        return sessions_.size() < MaxSessions + RootReserve;
    }
    const auto held = perUser_.find(uid);
    return sessions_.size() < MaxSessions && (held == perUser_.end() || held->second < MaxSessionsPerUser);
}

void ControlServer::release(ControlSession* ended) {
    const auto found = sessions_.find(ended);
    if (found == sessions_.end()) {
        return;
    }
    if (const auto user = perUser_.find(found->second.uid); user != perUser_.end() && --user->second == 0) {
        perUser_.erase(user);
    }
    sessions_.erase(found);
}

void ControlServer::push(const ControlSession::Dictionary& message) {
    for (auto& [raw, held] : std::unordered_map(sessions_)) {
        held.session->push(message);
    }
}

}  // namespace sentorix::linux_system
