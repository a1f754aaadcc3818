#pragma once

#include "FlowStrand.h"
#include "PeekedHostname.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace sentorix::linux_system {

// Looks at what an intercepted application sends first, without consuming it, until the host it names
// is known, or it names none, or nothing has come for 150 ms (a server that speaks first must not
// stall), whichever is first.
class FirstBytesPeek : public std::enable_shared_from_this<FirstBytesPeek> {
public:
    using Inspect = std::function<PeekedHostname(std::span<const std::uint8_t>)>;
    // The socket, untouched, and the host name found (empty when none).
    using Completion = std::function<void(FlowSocket, std::string)>;

    static constexpr std::chrono::milliseconds Patience{150};
    static constexpr std::size_t Limit = 16384 + 1024;  // a 16 KiB ClientHello and its record headers

    // `whileWaiting`, when given, runs before start returns if (and only if) the decision must wait.
    // A wait runs on the socket's strand.
    static void start(FlowSocket socket, Inspect inspect, Completion completion,
                      std::function<void()> whileWaiting = {}, std::chrono::milliseconds patience = Patience);

    FirstBytesPeek(FlowSocket socket, Inspect inspect, Completion completion);

private:
    // The host the bytes waiting now name (empty for none) once that is final; nullopt while nothing has
    // come or what has come may still name one.
    static std::optional<std::string> peekNow(int fd, std::size_t& seen, const Inspect& inspect);
    void waitReadable();
    void readable(const std::error_code& error);
    void finish(std::string hostname);
    void deliver();

    FlowSocket socket_;
    asio::steady_timer deadline_;
    const Inspect inspect_;
    Completion completion_;
    std::size_t seen_ = 0;  // bytes waiting at the last look
    std::string hostname_;
    int lowWater_ = 1;
    bool waiting_ = false;  // a wait on the socket is outstanding
    bool finished_ = false;
};

}  // namespace sentorix::linux_system
