#pragma once

#include "ProxyTunnelHandshakeDeadlines.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace sentorix {

// A one-shot timer that either fires once or is disarmed, never both. Firing calls `onTimeout` on the
// deadlines' queue, outside its lock.
class ProxyTunnelHandshakeWatchdog : public std::enable_shared_from_this<ProxyTunnelHandshakeWatchdog> {
public:
    enum class State { idle, running, finished };

    ProxyTunnelHandshakeWatchdog(double timeout, std::shared_ptr<ProxyTunnelHandshakeDeadlines> deadlines,
                                 std::function<void()> onTimeout);

    void start();
    void finishWithoutCallback();
    State state() const;

private:
    void handleTimeout();
    // running -> finished, handing back the deadline to remove; nothing in any other state. Called with
    // lock_ held.
    std::optional<ProxyTunnelHandshakeDeadlines::Key> finishLocked();

    const double timeout_;
    const std::shared_ptr<ProxyTunnelHandshakeDeadlines> deadlines_;
    const std::function<void()> onTimeout_;
    mutable std::mutex lock_;
    State state_ = State::idle;
    // Present only while running: the watchdog's place among the deadlines.
    std::optional<ProxyTunnelHandshakeDeadlines::Key> timer_;
};

}  // namespace sentorix
