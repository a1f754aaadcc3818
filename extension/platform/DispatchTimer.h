#pragma once

#include "DispatchQueue.h"
#include "MonotonicClock.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace sentorix {

// A timer source whose handler runs on a dispatch queue, one-shot or repeating; DispatchSourceTimer is
// the real one.
class DispatchTimer {
public:
    using Duration = std::chrono::steady_clock::duration;

    virtual ~DispatchTimer() = default;

    // First deadline `after` from now; `repeating` absent for a one-shot timer.
    virtual void schedule(Duration after, std::optional<Duration> repeating, Duration leeway = Duration::zero()) = 0;
    virtual void setEventHandler(std::function<void()> handler) = 0;
    // Starts a scheduled timer.
    virtual void resume() = 0;
    // After cancel returns, no handler starts any more; one already running may finish.
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

// Makes timers, and tells the time they count on. Taken from whoever builds a timed object, so that
// tests can fire its timers by moving time by hand.
class DispatchTimerFactory : public MonotonicClock {
public:
    virtual std::shared_ptr<DispatchTimer> makeTimer(std::shared_ptr<DispatchQueue> queue) = 0;

    // Real timers on the steady clock.
    static std::shared_ptr<DispatchTimerFactory> system();
};

}  // namespace sentorix
