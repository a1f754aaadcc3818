#include "DispatchSourceTimer.h"

namespace sentorix {

namespace {

class SystemTimers final : public DispatchTimerFactory {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    std::shared_ptr<DispatchTimer> makeTimer(std::shared_ptr<DispatchQueue> queue) override {
        return DispatchSourceTimer::create(std::move(queue));
    }
};

}  // namespace

std::shared_ptr<DispatchTimerFactory> DispatchTimerFactory::system() {
    static const std::shared_ptr<DispatchTimerFactory> timers = std::make_shared<SystemTimers>();
    return timers;
}

std::shared_ptr<DispatchSourceTimer> DispatchSourceTimer::create(std::shared_ptr<DispatchQueue> queue) {
    return std::make_shared<DispatchSourceTimer>(std::move(queue));
}

DispatchSourceTimer::DispatchSourceTimer(std::shared_ptr<DispatchQueue> queue)
    : queue_(std::move(queue)), timer_(DispatchQueue::pool()) {}

void DispatchSourceTimer::schedule(Duration after, std::optional<Duration> repeating, Duration) {
    std::lock_guard lock(mutex_);
    deadline_ = std::chrono::steady_clock::now() + after;
    interval_ = repeating;
    if (resumed_ && !cancelled_) {
        armLocked();
    }
}

void DispatchSourceTimer::setEventHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void DispatchSourceTimer::resume() {
    std::lock_guard lock(mutex_);
    if (resumed_ || cancelled_) {
        return;
    }
    resumed_ = true;
    armLocked();
}

void DispatchSourceTimer::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    handler_ = nullptr;
    timer_.cancel();
}

bool DispatchSourceTimer::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void DispatchSourceTimer::armLocked() {
    const unsigned generation = ++generation_;
    timer_.expires_at(deadline_);
    timer_.async_wait([self = shared_from_this(), generation](const std::error_code& error) {
        self->fired(error, generation);
    });
}

void DispatchSourceTimer::fired(const std::error_code& error, unsigned generation) {
    std::lock_guard lock(mutex_);
    if (error || cancelled_ || generation != generation_) {
        return;
    }
    if (interval_) {
        const auto now = std::chrono::steady_clock::now();
        deadline_ += *interval_;
        if (deadline_ <= now) {
            deadline_ = now + *interval_;
        }
        armLocked();
    }
    if (!tickQueued_) {
        tickQueued_ = true;
        queue_->async([self = shared_from_this()] { self->runHandler(); });
    }
}

void DispatchSourceTimer::runHandler() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        tickQueued_ = false;
        if (cancelled_) {
            return;
        }
        handler = handler_;
    }
    if (handler) {
        handler();
    }
}

}  // namespace sentorix
