#include "ProxyTunnelHandshakeWatchdog.h"

#include <chrono>

namespace sentorix {

ProxyTunnelHandshakeWatchdog::ProxyTunnelHandshakeWatchdog(double timeout,
                                                           std::shared_ptr<ProxyTunnelHandshakeDeadlines> deadlines,
                                                           std::function<void()> onTimeout)
    : timeout_(timeout), deadlines_(std::move(deadlines)), onTimeout_(std::move(onTimeout)) {}

void ProxyTunnelHandshakeWatchdog::start() {
    if (!(timeout_ > 0)) {  // NaN included
        if (onTimeout_) {
            onTimeout_();
        }
        return;
    }
    std::lock_guard lock(lock_);
    if (state_ != State::idle) {
        return;
    }
    // The deadlines' lock is only ever taken inside this one, and they call back outside theirs.
    timer_ = deadlines_->add(
        std::chrono::duration_cast<DispatchTimer::Duration>(std::chrono::duration<double>(timeout_)),
        [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->handleTimeout();
            }
        });
    state_ = State::running;
}

std::optional<ProxyTunnelHandshakeDeadlines::Key> ProxyTunnelHandshakeWatchdog::finishLocked() {
    if (state_ != State::running) {
        return std::nullopt;
    }
    state_ = State::finished;
    return std::exchange(timer_, std::nullopt);
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
    std::optional<ProxyTunnelHandshakeDeadlines::Key> deadline;
    {
        std::lock_guard lock(lock_);
        deadline = finishLocked();
    }
    if (deadline) {
        deadlines_->remove(*deadline);
    }
}

ProxyTunnelHandshakeWatchdog::State ProxyTunnelHandshakeWatchdog::state() const {
    std::lock_guard lock(lock_);
    return state_;
}

}  // namespace sentorix
