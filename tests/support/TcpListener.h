#pragma once

#include "UniqueFd.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace sentorix::testing {

// A loopback TCP listener on an ephemeral port. With `accepting`, a thread accepts and closes every
// connection and counts them; without, connections wait in the backlog.
class TcpListener {
public:
    explicit TcpListener(bool accepting = true, int backlog = 64, std::uint16_t port = 0);
    ~TcpListener();

    std::uint16_t port() const { return port_; }
    int acceptedCount() const { return accepted_.load(); }
    // The count once every connection completed before the call has been accepted: a connection of the
    // listener's own, not counted, is queued behind them and waited for (accepting listeners only).
    int settledAcceptedCount();
    // Stops listening; the port is then refused.
    void close();

private:
    UniqueFd fd_;
    std::uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stopping_{false};
    std::mutex markerMutex_;
    std::condition_variable markerAccepted_;
    std::uint16_t markerPort_ = 0;  // the local port of the marker connection waited for; 0 for none
    std::thread thread_;
};

}  // namespace sentorix::testing
