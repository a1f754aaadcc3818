#pragma once

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Accepts connections on a Unix socket and hands every length-prefixed frame it reads to `onFrame`.
// A peer may send several frames; one that sends an oversized length or disconnects mid-frame is
// reported to `onProblem` and dropped, and the listener carries on. One thread serves every peer:
// each wake-up accepts all the connections waiting and reads what each has sent in as few reads as
// the bytes need, since a sender's frame is usually there whole by the time it is accepted. While
// connections keep coming it takes them every GatherFor, not as each arrives.
class MonitorListener {
public:
    static constexpr std::uint32_t MaxFrameBytes = 1024 * 1024;
    // How long, after taking connections, the listener waits for more before it takes them.
    static constexpr std::chrono::milliseconds GatherFor{1};

    MonitorListener(asio::io_context& io, std::string socketPath, std::function<void(const std::string&)> onFrame,
                    std::function<void(const std::string&)> onProblem);
    ~MonitorListener();

    // Removes a stale socket file, binds and listens. Returns an error text, empty on success.
    std::string open();
    void close();

private:
    class Peer;
    // Waits for a connection, then drains.
    void accept();
    // Takes every connection waiting; after any, takes the next ones a moment later, else waits again.
    void drain();
    // Reads all the peer has sent so far; true when it is to be waited for, false when done with.
    bool read(Peer& peer);
    // Hands on the whole frames that `bytes` completes, keeping the start of the next; false once the peer
    // is to be dropped.
    bool take(Peer& peer, std::string_view bytes);
    // At the peer's end of data (or an error): reports a frame left unfinished.
    void ended(Peer& peer);
    void wait(const std::shared_ptr<Peer>& peer);
    // Hands on every whole frame at the start of `bytes`; false once the peer is to be dropped.
    bool takeFrames(std::string_view& bytes);

    asio::io_context& io_;
    const std::string socketPath_;
    std::function<void(const std::string&)> onFrame_;
    std::function<void(const std::string&)> onProblem_;
    asio::local::stream_protocol::acceptor acceptor_;
    asio::steady_timer gathering_;
    bool bound_ = false;
};
