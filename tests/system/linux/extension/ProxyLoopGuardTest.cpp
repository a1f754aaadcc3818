#include "ProxyLoopGuard.h"

#include <gtest/gtest.h>

namespace sentorix {
namespace {

using linux_system::ProxyLoopGuard;
using namespace std::chrono_literals;

asio::ip::tcp::endpoint at(const char* address, unsigned short port) {
    return {asio::ip::make_address(address), port};
}

TEST(ProxyLoopGuard, OnlyAnotherProcessReachingTheSameDestinationWithinTheWindowIsSuspect) {
    ProxyLoopGuard guard;
    const auto now = ProxyLoopGuard::Clock::now();
    EXPECT_FALSE(guard.reachedByAnother(at("192.0.2.1", 443), 10, now));
    EXPECT_FALSE(guard.reachedByAnother(at("192.0.2.1", 443), 10, now + 1s)) << "the same process again";
    EXPECT_FALSE(guard.reachedByAnother(at("192.0.2.1", 80), 11, now + 1s)) << "another port";
    EXPECT_FALSE(guard.reachedByAnother(at("192.0.2.2", 443), 11, now + 1s)) << "another address";
    EXPECT_TRUE(guard.reachedByAnother(at("192.0.2.1", 443), 11, now + 2s));
    EXPECT_TRUE(guard.reachedByAnother(at("::ffff:192.0.2.1", 443), 12, now + 2s))
        << "the same IPv4 address reached through an IPv6 socket";
    EXPECT_FALSE(guard.reachedByAnother(at("192.0.2.1", 443), 13, now + 2s + ProxyLoopGuard::Window + 1ms))
        << "after the window";
}

TEST(ProxyLoopGuard, StaysBoundedAndKeepsRecentDestinationsUnderABurst) {
    ProxyLoopGuard guard;
    const auto now = ProxyLoopGuard::Clock::now();
    EXPECT_FALSE(guard.reachedByAnother(at("198.51.100.1", 443), 1, now));
    for (unsigned port = 1; port <= ProxyLoopGuard::MaxDestinations + 10; ++port) {
        guard.reachedByAnother(at("203.0.113.1", static_cast<unsigned short>(port)), 2, now + 10s);
    }
    const auto last = static_cast<unsigned short>(ProxyLoopGuard::MaxDestinations + 10);
    EXPECT_TRUE(guard.reachedByAnother(at("203.0.113.1", last), 3, now + 10s)) << "the latest is kept";
    EXPECT_FALSE(guard.reachedByAnother(at("198.51.100.1", 443), 4, now + 10s)) << "the stale one went first";
}

}  // namespace
}  // namespace sentorix
