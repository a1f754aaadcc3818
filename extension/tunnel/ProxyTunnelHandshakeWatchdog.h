#pragma once

#include "platform/DispatchQueue.h"
#include "platform/DispatchTimer.h"

#include <functional>
#include <memory>
#include <mutex>

namespace sentorix {

// A one-shot timer that either fires once or is disarmed, never both. Firing calls `onTimeout` on the
// watchdog's queue, outside its lock.
class ProxyTunnelHandshakeWatchdog : public std::enable_shared_from_this<ProxyTunnelHandshakeWatchdog> {
public:
    enum class State { idle, running, finished };

    ProxyTunnelHandshakeWatchdog(double timeout, std::shared_ptr<DispatchQueue> queue, std::function<void()> onTimeout,
                                 std::shared_ptr<DispatchTimerFactory> timers = DispatchTimerFactory::system());

    void start();
    void finishWithoutCallback();
    State state() const;

private:
    void handleTimeout();
    // running -> finished, timer cancelled; false in any other state. Called with lock_ held.
    bool finishLocked();

    const double timeout_;
    const std::shared_ptr<DispatchQueue> queue_;
    const std::function<void()> onTimeout_;
    const std::shared_ptr<DispatchTimerFactory> timers_;
    mutable std::mutex lock_;
    State state_ = State::idle;
    std::shared_ptr<DispatchTimer> timer_;
};

}  // namespace sentorix
