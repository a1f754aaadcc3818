#pragma once

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Accepts connections on a Unix socket and hands every length-prefixed frame it reads to `onFrame`.
// A peer may send several frames; one that sends an oversized length or disconnects mid-frame is
// reported to `onProblem` and dropped, and the listener carries on. One thread serves every peer:
// each wake-up accepts all the connections waiting and reads what each has sent in as few reads as
// the bytes need, since a sender's frame is usually there whole by the time it is accepted.
class MonitorListener {
public:
    static constexpr std::uint32_t MaxFrameBytes = 1024 * 1024;

    MonitorListener(asio::io_context& io, std::string socketPath, std::function<void(const std::string&)> onFrame,
                    std::function<void(const std::string&)> onProblem);
    ~MonitorListener();

    // Removes a stale socket file, binds and listens. Returns an error text, empty on success.
    std::string open();
    void close();

private:
    class Peer;
    void accept();
    // Reads all the peer has sent so far; true when it is to be waited for, false when done with.
    bool read(Peer& peer);
    void wait(const std::shared_ptr<Peer>& peer);
    // Hands on every whole frame at the start of `bytes`; false once the peer is to be dropped.
    bool takeFrames(std::string_view& bytes);

    asio::io_context& io_;
    const std::string socketPath_;
    std::function<void(const std::string&)> onFrame_;
    std::function<void(const std::string&)> onProblem_;
    asio::local::stream_protocol::acceptor acceptor_;
    bool bound_ = false;
};
