#include "tunnel/ProxyTunnelHandshakeWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using State = ProxyTunnelHandshakeWatchdog::State;

std::shared_ptr<DispatchQueue> queue() {
    return DispatchQueue::create("com.sentorix.handshakeWatchdog", DispatchQueue::Kind::Serial);
}

TEST(ProxyTunnelHandshakeWatchdog, FiresOnceAfterItsTimeout) {
    std::atomic<int> fired{0};
    auto q = queue();
    auto watchdog = std::make_shared<ProxyTunnelHandshakeWatchdog>(0.05, q, [&] { fired.fetch_add(1); });
    watchdog->start();
    watchdog->start();  // arms nothing new
    EXPECT_EQ(watchdog->state(), State::running);
    std::this_thread::sleep_for(200ms);
    q->sync([] {});
    EXPECT_EQ(fired.load(), 1);
    EXPECT_EQ(watchdog->state(), State::finished);
    watchdog->finishWithoutCallback();
    EXPECT_EQ(watchdog->state(), State::finished);
}

TEST(ProxyTunnelHandshakeWatchdog, DisarmedWatchdogNeverFires) {
    std::atomic<int> fired{0};
    auto q = queue();
    auto watchdog = std::make_shared<ProxyTunnelHandshakeWatchdog>(0.05, q, [&] { fired.fetch_add(1); });
    watchdog->finishWithoutCallback();
    EXPECT_EQ(watchdog->state(), State::idle) << "disarming before start changes nothing";
    watchdog->start();
    watchdog->finishWithoutCallback();
    std::this_thread::sleep_for(150ms);
    q->sync([] {});
    EXPECT_EQ(fired.load(), 0);
    EXPECT_EQ(watchdog->state(), State::finished);
}

TEST(ProxyTunnelHandshakeWatchdog, ZeroOrNegativeOrNanTimeoutFiresDuringStart) {
    for (double timeout : {0.0, -1.0, std::nan("")}) {
        int fired = 0;
        auto watchdog = std::make_shared<ProxyTunnelHandshakeWatchdog>(timeout, queue(), [&] { ++fired; });
        watchdog->start();
        EXPECT_EQ(fired, 1) << timeout;
        EXPECT_EQ(watchdog->state(), State::idle);
    }
}

TEST(ProxyTunnelHandshakeWatchdog, RacingDisarmAndFiringCallsAtMostOnce) {
    for (int round = 0; round < 300; ++round) {
        std::atomic<int> fired{0};
        auto q = queue();
        auto watchdog = std::make_shared<ProxyTunnelHandshakeWatchdog>(0.001, q, [&] { fired.fetch_add(1); });
        watchdog->start();
        std::this_thread::sleep_for(std::chrono::microseconds(round % 7 * 300));
        watchdog->finishWithoutCallback();
        q->sync([] {});
        std::this_thread::sleep_for(2ms);
        q->sync([] {});
        EXPECT_LE(fired.load(), 1);
        EXPECT_EQ(watchdog->state(), State::finished);
    }
}

}  // namespace
}  // namespace sentorix
