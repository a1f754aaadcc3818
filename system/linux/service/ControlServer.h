#pragma once

#include "ControlSession.h"
#include "Result.h"

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace sentorix::linux_system {

// The service's control socket. Anyone may connect (the socket is 0666), so that a refused peer
// hears why; each peer is judged by the kernel's record of who connected (SO_PEERCRED and
// SO_PEERGROUPS): root and the members of the group `sentorix` may ask, anyone else is answered
// "permission denied" and nothing is done.
class ControlServer {
public:
    using Handler = ControlSession::Handler;

    static constexpr std::size_t MaxSessions = 128;
    // Places only root may take, so that members holding every other one never lock it out.
    static constexpr std::size_t RootReserve = 8;
    // So that one member cannot hold every place either.
    static constexpr std::size_t MaxSessionsPerUser = 16;
    static constexpr const char* GroupName = "sentorix";

    // Binds `path` (a stale socket there is replaced; a live one means another service, and fails).
    static Result<std::unique_ptr<ControlServer>> listen(asio::io_context& io, const std::string& path, Handler handler,
                                                         std::chrono::milliseconds idle = std::chrono::seconds(30));
    ~ControlServer();

    // To every session that subscribed.
    void push(const ControlSession::Dictionary& message);
    std::size_t sessions() const { return sessions_.size(); }

    // Whether the peer of a connected socket, with the credentials it connected with, may ask.
    static bool authorises(int socket, const ucred& credentials, std::optional<gid_t> group);

    ControlServer(asio::local::stream_protocol::acceptor acceptor, std::string path, Handler handler,
                  std::chrono::milliseconds idle);

private:
    void accept();

    asio::local::stream_protocol::acceptor acceptor_;
    const std::string path_;
    const Handler handler_;
    const std::chrono::milliseconds idle_;
    // Whether a peer with this user id may take one more place.
    bool admits(uid_t uid) const;
    void release(ControlSession* ended);

    struct Held {
        std::shared_ptr<ControlSession> session;
        uid_t uid;
    };
    std::unordered_map<ControlSession*, Held> sessions_;
    std::unordered_map<uid_t, std::size_t> perUser_;
};

}  // namespace sentorix::linux_system
