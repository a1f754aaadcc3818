#pragma once

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Accepts connections on a Unix socket and hands every length-prefixed frame it reads to `onFrame`.
// A peer may send several frames; one that sends an oversized length or disconnects mid-frame is
// reported to `onProblem` and dropped, and the listener carries on.
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
    void accept();
    void readHeader(std::shared_ptr<asio::local::stream_protocol::socket> peer);
    void readPayload(std::shared_ptr<asio::local::stream_protocol::socket> peer, std::uint32_t length);

    asio::io_context& io_;
    const std::string socketPath_;
    std::function<void(const std::string&)> onFrame_;
    std::function<void(const std::string&)> onProblem_;
    asio::local::stream_protocol::acceptor acceptor_;
    bool bound_ = false;
};
