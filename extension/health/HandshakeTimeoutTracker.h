#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace sentorix {

// Tells a proxy that cannot take flows from destinations that are slow. A handshake that times out while
// the proxy connects onwards says as much about the destination as about the proxy, so only time-outs
// to several destinations close together, with no handshake succeeding between them, count against it.
class HandshakeTimeoutTracker {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t TimeoutsToClose = 3;
    static constexpr std::size_t DestinationsToClose = 2;
    static constexpr Clock::duration Window = std::chrono::seconds(10);

    // Notes a time-out; true when it and the ones before it are the proxy's, and the gate should close.
    bool recordTimeout(const std::string& destination, Clock::time_point now);
    // A handshake succeeded: the proxy takes flows, whatever timed out before.
    void recordSuccess();

private:
    struct Timeout {
        Clock::time_point at;
        std::string destination;
    };
    std::mutex lock_;
    std::deque<Timeout> recent_;  // within the window, oldest first
};

}  // namespace sentorix
