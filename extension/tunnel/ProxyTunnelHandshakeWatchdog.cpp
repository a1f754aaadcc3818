#include "ProxyTunnelHandshakeWatchdog.h"

#include <chrono>

namespace sentorix {

ProxyTunnelHandshakeWatchdog::ProxyTunnelHandshakeWatchdog(double timeout, std::shared_ptr<DispatchQueue> queue,
                                                           std::function<void()> onTimeout,
                                                           std::shared_ptr<DispatchTimerFactory> timers)
    : timeout_(timeout), queue_(std::move(queue)), onTimeout_(std::move(onTimeout)), timers_(std::move(timers)) {}

void ProxyTunnelHandshakeWatchdog::start() {
    if (!(timeout_ > 0)) {  // NaN included
        if (onTimeout_) {
            onTimeout_();
        }
        return;
    }
    std::shared_ptr<DispatchTimer> timer;
    {
        std::lock_guard lock(lock_);
        if (state_ != State::idle) {
            return;
        }
        timer = timers_->makeTimer(queue_);
        timer->schedule(std::chrono::duration_cast<DispatchTimer::Duration>(
                            std::chrono::duration<double>(timeout_)),
                        std::nullopt);
        timer->setEventHandler([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->handleTimeout();
            }
        });
        timer_ = timer;
        state_ = State::running;
    }
    timer->resume();
}

bool ProxyTunnelHandshakeWatchdog::finishLocked() {
    if (state_ != State::running) {
        return false;
    }
    state_ = State::finished;
    auto timer = std::move(timer_);
    timer->setEventHandler([] {});
    timer->cancel();
    return true;
}

void ProxyTunnelHandshakeWatchdog::handleTimeout() {
    {
        std::lock_guard lock(lock_);
        if (!finishLocked()) {
            return;
        }
    }
    if (onTimeout_) {
        onTimeout_();
    }
}

void ProxyTunnelHandshakeWatchdog::finishWithoutCallback() {
    std::lock_guard lock(lock_);
    finishLocked();
}

ProxyTunnelHandshakeWatchdog::State ProxyTunnelHandshakeWatchdog::state() const {
    std::lock_guard lock(lock_);
    return state_;
}

}  // namespace sentorix
