#pragma once

#include <chrono>
#include <memory>

namespace sentorix {

// Time for measuring intervals. Whoever builds a timed object hands it one, so that tests can move
// time by hand instead of waiting for it.
class MonotonicClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~MonotonicClock() = default;
    virtual TimePoint now() const = 0;

    // The process's steady clock.
    static std::shared_ptr<const MonotonicClock> system();
};

inline std::shared_ptr<const MonotonicClock> MonotonicClock::system() {
    struct Steady final : MonotonicClock {
        TimePoint now() const override { return std::chrono::steady_clock::now(); }
    };
    static const std::shared_ptr<const MonotonicClock> clock = std::make_shared<const Steady>();
    return clock;
}

}  // namespace sentorix
