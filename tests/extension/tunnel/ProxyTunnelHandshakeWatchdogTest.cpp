#include "ManualClock.h"
#include "tunnel/ProxyTunnelHandshakeWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using State = ProxyTunnelHandshakeWatchdog::State;
using testing::ManualClock;

std::shared_ptr<ProxyTunnelHandshakeDeadlines> deadlinesOn(const std::shared_ptr<ManualClock>& clock) {
    return std::make_shared<ProxyTunnelHandshakeDeadlines>(clock);
}

TEST(ProxyTunnelHandshakeWatchdog, FiresOnceAfterItsTimeout) {
    std::atomic<int> fired{0};
    auto clock = std::make_shared<ManualClock>();
    auto deadlines = deadlinesOn(clock);
    auto watchdog = std::make_shared<ProxyTunnelHandshakeWatchdog>(0.05, deadlines, [&] { fired.fetch_add(1); });
    watchdog->start();
    watchdog->start();  // arms nothing new
    EXPECT_EQ(watchdog->state(), State::running);
    clock->advance(49ms);
    EXPECT_EQ(fired.load(), 0) << "not before its time";
    clock->advance(151ms);
    EXPECT_EQ(fired.load(), 1);
    EXPECT_EQ(watchdog->state(), State::finished);
    watchdog->finishWithoutCallback();
    EXPECT_EQ(watchdog->state(), State::finished);
}

TEST(ProxyTunnelHandshakeWatchdog, DisarmedWatchdogNeverFires) {
    std::atomic<int> fired{0};
    auto clock = std::make_shared<ManualClock>();
    auto deadlines = deadlinesOn(clock);
    auto watchdog = std::make_shared<ProxyTunnelHandshakeWatchdog>(0.05, deadlines, [&] { fired.fetch_add(1); });
    watchdog->finishWithoutCallback();
    EXPECT_EQ(watchdog->state(), State::idle) << "disarming before start changes nothing";
    watchdog->start();
    watchdog->finishWithoutCallback();
    EXPECT_EQ(deadlines->pendingCount(), 0u) << "disarming lets its deadline go at once";
    clock->advance(150ms);
    EXPECT_EQ(fired.load(), 0);
    EXPECT_EQ(watchdog->state(), State::finished);
}

TEST(ProxyTunnelHandshakeWatchdog, ZeroOrNegativeOrNanTimeoutFiresDuringStart) {
    for (double timeout : {0.0, -1.0, std::nan("")}) {
        int fired = 0;
        auto watchdog = std::make_shared<ProxyTunnelHandshakeWatchdog>(timeout, ProxyTunnelHandshakeDeadlines::system(),
                                                                       [&] { ++fired; });
        watchdog->start();
        EXPECT_EQ(fired, 1) << timeout;
        EXPECT_EQ(watchdog->state(), State::idle);
    }
}

TEST(ProxyTunnelHandshakeWatchdog, RacingDisarmAndFiringCallsAtMostOnce) {
    int firedRounds = 0;
    for (int round = 0; round < 300; ++round) {
        std::atomic<int> fired{0};
        auto clock = std::make_shared<ManualClock>();
        auto watchdog =
            std::make_shared<ProxyTunnelHandshakeWatchdog>(0.001, deadlinesOn(clock), [&] { fired.fetch_add(1); });
        watchdog->start();
        // The deadline passes on another thread while this one disarms, a little later each round.
        std::atomic<bool> ready{false};
        std::atomic<bool> go{false};
        std::thread firing([&] {
            ready = true;
            while (!go.load()) {
                std::this_thread::yield();
            }
            clock->advance(1ms);
        });
        while (!ready.load()) {
            std::this_thread::yield();
        }
        go = true;
        for (std::atomic<int> spin{0}; spin.load() < round % 7 * 300;) {
            spin.fetch_add(1);
        }
        watchdog->finishWithoutCallback();
            firing.join();  // once advance has returned, a tick it fired has run
            EXPECT_LE(fired.load(), 1);
        EXPECT_EQ(watchdog->state(), State::finished);
        firedRounds += fired.load();
    }
    RecordProperty("fired_rounds", firedRounds);
}

}  // namespace
}  // namespace sentorix
