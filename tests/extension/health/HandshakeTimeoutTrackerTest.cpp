#include "health/HandshakeTimeoutTracker.h"

#include <gtest/gtest.h>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using Clock = HandshakeTimeoutTracker::Clock;

TEST(HandshakeTimeoutTracker, OneDestinationNeverCountsAgainstTheProxyButSeveralCloseTogetherDo) {
    HandshakeTimeoutTracker tracker;
    const Clock::time_point start{};
    for (int i = 0; i < 100; ++i) {
        EXPECT_FALSE(tracker.recordTimeout("192.0.2.1:443", start + i * 100ms)) << "time-out " << i;
    }
    EXPECT_TRUE(tracker.recordTimeout("192.0.2.2:443", start + 10s)) << "a second destination, within the window";
}

TEST(HandshakeTimeoutTracker, TimeoutsOutsideTheWindowOrBeforeASuccessAreForgotten) {
    const Clock::time_point start{};
    {
        HandshakeTimeoutTracker tracker;
        EXPECT_FALSE(tracker.recordTimeout("a:443", start));
        EXPECT_FALSE(tracker.recordTimeout("b:443", start + 5s)) << "two are not yet three";
        EXPECT_FALSE(tracker.recordTimeout("c:443", start + 11s + 1ms)) << "the first is out of the window";
        EXPECT_TRUE(tracker.recordTimeout("c:443", start + 11s + 2ms));
    }
    {
        HandshakeTimeoutTracker tracker;
        EXPECT_FALSE(tracker.recordTimeout("a:443", start));
        EXPECT_FALSE(tracker.recordTimeout("b:443", start + 1s));
        tracker.recordSuccess();
        EXPECT_FALSE(tracker.recordTimeout("c:443", start + 2s)) << "a handshake succeeded in between";
        EXPECT_FALSE(tracker.recordTimeout("d:443", start + 3s));
        EXPECT_TRUE(tracker.recordTimeout("d:443", start + 4s));
    }
}

}  // namespace
}  // namespace sentorix
