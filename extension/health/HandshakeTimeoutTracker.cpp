#include "HandshakeTimeoutTracker.h"

#include <algorithm>

namespace sentorix {

namespace {

// Enough to hold every time-out a window can count; more would only be older ones.
constexpr std::size_t MaximumHeld = 64;

}  // namespace

bool HandshakeTimeoutTracker::recordTimeout(const std::string& destination, Clock::time_point now) {
    std::lock_guard lock(lock_);
    while (!recent_.empty() && now - recent_.front().at > Window) {
        recent_.pop_front();
    }
    if (recent_.size() == MaximumHeld) {
        recent_.pop_front();
    }
    recent_.push_back({now, destination});
    if (recent_.size() < TimeoutsToClose) {
        return false;
    }
    std::size_t destinations = 0;
    for (auto it = recent_.begin(); it != recent_.end() && destinations < DestinationsToClose; ++it) {
        const bool seenBefore = std::any_of(recent_.begin(), it, [&](const Timeout& earlier) {
            return earlier.destination == it->destination;
        });
        destinations += seenBefore ? 0 : 1;
    }
    return destinations >= DestinationsToClose;
}

void HandshakeTimeoutTracker::recordSuccess() {
    std::lock_guard lock(lock_);
    recent_.clear();
}

}  // namespace sentorix
