#include "ProxyTunnelHandshakeDeadlines.h"

#include <vector>

namespace sentorix {

ProxyTunnelHandshakeDeadlines::ProxyTunnelHandshakeDeadlines(std::shared_ptr<DispatchTimerFactory> timers)
    : timers_(std::move(timers)),
      queue_(DispatchQueue::create("com.sentorix.handshakeWatchdog", DispatchQueue::Kind::Serial)) {}

std::shared_ptr<ProxyTunnelHandshakeDeadlines> ProxyTunnelHandshakeDeadlines::system() {
    static const auto deadlines = std::make_shared<ProxyTunnelHandshakeDeadlines>(DispatchTimerFactory::system());
    return deadlines;
}

ProxyTunnelHandshakeDeadlines::~ProxyTunnelHandshakeDeadlines() {
    if (timer_) {
        timer_->cancel();
    }
}

ProxyTunnelHandshakeDeadlines::Key ProxyTunnelHandshakeDeadlines::add(DispatchTimer::Duration after,
                                                                      std::function<void()> expired) {
    std::lock_guard lock(lock_);
    const Key key{timers_->now() + after, nextSequence_++};
    pending_.emplace(key, std::move(expired));
    if (!armedFor_ || key.first < *armedFor_) {
        armLocked(key.first);
    }
    return key;
}

void ProxyTunnelHandshakeDeadlines::remove(const Key& key) {
    std::function<void()> dropped;  // its captures are let go after the lock
    std::lock_guard lock(lock_);
    if (const auto found = pending_.find(key); found != pending_.end()) {
        dropped = std::move(found->second);
        pending_.erase(found);
    }
}

std::size_t ProxyTunnelHandshakeDeadlines::pendingCount() const {
    std::lock_guard lock(lock_);
    return pending_.size();
}

void ProxyTunnelHandshakeDeadlines::armLocked(MonotonicClock::TimePoint at) {
    if (!timer_) {
        timer_ = timers_->makeTimer(queue_);
        timer_->setEventHandler([weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                self->fire();
            }
        });
        timer_->schedule(std::max(at - timers_->now(), DispatchTimer::Duration::zero()), std::nullopt);
        timer_->resume();
    } else {
        timer_->schedule(std::max(at - timers_->now(), DispatchTimer::Duration::zero()), std::nullopt);
    }
    armedFor_ = at;
}

void ProxyTunnelHandshakeDeadlines::fire() {
    std::vector<std::function<void()>> due;
    {
        std::lock_guard lock(lock_);
        armedFor_.reset();
        const auto now = timers_->now();
        auto end = pending_.begin();
        for (; end != pending_.end() && end->first.first <= now; ++end) {
            due.push_back(std::move(end->second));
        }
        pending_.erase(pending_.begin(), end);
        if (!pending_.empty()) {
            armLocked(pending_.begin()->first.first);
        }
    }
    for (auto& expired : due) {
        expired();
    }
}

}  // namespace sentorix
