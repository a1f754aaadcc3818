#pragma once

#include "DispatchQueue.h"
#include "DispatchTimer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace sentorix::testing {

// Time that moves only when the test moves it. Its timers fire during advance(), each handler on the
// timer's own queue, and advance() returns once those handlers have run: what a test looks at next
// already reflects every tick it asked for, without waiting on real time.
class ManualClock : public DispatchTimerFactory {
public:
    using Duration = std::chrono::steady_clock::duration;

    ManualClock() : state_(std::make_shared<State>()) {}
    ~ManualClock() override {
        std::vector<std::shared_ptr<Timer>> armed;
        {
            std::lock_guard lock(state_->mutex);
            armed.swap(state_->armed);  // they refer back to the state
        }
    }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    TimePoint now() const override {
        std::lock_guard lock(state_->mutex);
        return state_->now;
    }

    std::shared_ptr<DispatchTimer> makeTimer(std::shared_ptr<DispatchQueue> queue) override {
        return std::make_shared<Timer>(state_, std::move(queue));
    }

    // Moves time on by `step`, stopping at every deadline on the way, earliest first, to fire what falls
    // due there; advance(0) fires what is due now. Timers set by handlers fire too if they fall due within
    // the step. Not to be called from a timer's queue, nor from two threads at once.
    void advance(Duration step) {
        std::unique_lock lock(state_->mutex);
        const TimePoint target = state_->now + step;
        for (;;) {
            std::optional<TimePoint> next;
            for (const auto& timer : state_->armed) {
                if (timer->deadline_ <= target && (!next || timer->deadline_ < *next)) {
                    next = timer->deadline_;
                }
            }
            if (!next) {
                break;
            }
            if (*next > state_->now) {
                state_->now = *next;
            }
            std::vector<std::shared_ptr<Timer>> due;
            for (const auto& timer : state_->armed) {
                if (timer->deadline_ <= state_->now) {
                    due.push_back(timer);
                }
            }
            std::vector<std::shared_ptr<Timer>> delivered;
            for (const auto& timer : due) {
                if (timer->firedLocked()) {
                    delivered.push_back(timer);
                }
            }
            lock.unlock();
            for (const auto& timer : delivered) {
                timer->queue_->async([timer] { timer->runHandler(); });
            }
            for (const auto& timer : delivered) {
                timer->queue_->syncBarrier([] {});  // after the handler queued above
            }
            lock.lock();
        }
        state_->now = target;
    }

private:
    class Timer;
    struct State {
        std::mutex mutex;
        TimePoint now{std::chrono::hours(1)};
        std::vector<std::shared_ptr<Timer>> armed;
    };

    // Follows DispatchSourceTimer: the deadline counts from schedule(), ticks still queued are merged,
    // and no handler starts after cancel() returns.
    class Timer final : public DispatchTimer, public std::enable_shared_from_this<Timer> {
    public:
        Timer(std::shared_ptr<State> state, std::shared_ptr<DispatchQueue> queue)
            : state_(std::move(state)), queue_(std::move(queue)) {}

        void schedule(Duration after, std::optional<Duration> repeating, Duration) override {
            std::lock_guard lock(state_->mutex);
            deadline_ = state_->now + after;
            interval_ = repeating;
            if (resumed_ && !cancelled_) {
                armLocked();
            }
        }
        void setEventHandler(std::function<void()> handler) override {
            std::lock_guard lock(state_->mutex);
            handler_.swap(handler);  // the old one is dropped after the lock: its captures may reach back here
        }
        void resume() override {
            std::lock_guard lock(state_->mutex);
            if (resumed_ || cancelled_) {
                return;
            }
            resumed_ = true;
            armLocked();
        }
        void cancel() override {
            std::function<void()> released;  // dropped after the lock, as in setEventHandler
            std::lock_guard lock(state_->mutex);
            cancelled_ = true;
            released.swap(handler_);
            disarmLocked();
        }
        bool isCancelled() const override {
            std::lock_guard lock(state_->mutex);
            return cancelled_;
        }

    private:
        friend class ManualClock;

        void armLocked() {
            for (const auto& timer : state_->armed) {
                if (timer.get() == this) {
                    return;
                }
            }
            state_->armed.push_back(shared_from_this());
        }
        void disarmLocked() {
            std::erase_if(state_->armed, [this](const auto& timer) { return timer.get() == this; });
        }
        // The deadline has come: re-arm or disarm; true when a tick is to be queued.
        bool firedLocked() {
            if (interval_ && *interval_ > Duration::zero()) {
                deadline_ += *interval_;
            } else {
                disarmLocked();
            }
            if (tickQueued_) {
                return false;
            }
            tickQueued_ = true;
            return true;
        }
        void runHandler() {
            std::function<void()> handler;
            {
                std::lock_guard lock(state_->mutex);
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

        const std::shared_ptr<State> state_;
        const std::shared_ptr<DispatchQueue> queue_;
        std::function<void()> handler_;
        TimePoint deadline_{};
        std::optional<Duration> interval_;
        bool resumed_ = false;
        bool cancelled_ = false;
        bool tickQueued_ = false;
    };

    const std::shared_ptr<State> state_;
};

}  // namespace sentorix::testing
