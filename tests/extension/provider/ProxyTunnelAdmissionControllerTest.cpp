#include "provider/ProxyTunnelAdmissionController.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace sentorix {
namespace {

std::string id(int n) { return "FLOW-" + std::to_string(n); }

TEST(ProxyTunnelAdmissionController, FortyEightPendingRefuseTheNextUntilOneMovesOn) {
    ProxyTunnelAdmissionController controller(48);
    for (int i = 0; i < 48; ++i) {
        EXPECT_TRUE(controller.tryAcquireHandshakeSlot(id(i)));
    }
    EXPECT_FALSE(controller.tryAcquireHandshakeSlot(id(48)));
    EXPECT_EQ(controller.pendingHandshakeCount(), 48u);

    controller.markHandshakeEstablished(id(0));
    EXPECT_TRUE(controller.tryAcquireHandshakeSlot(id(48)));
    EXPECT_FALSE(controller.tryAcquireHandshakeSlot(id(49)));
    controller.releaseHandshakeSlot(id(1));
    EXPECT_TRUE(controller.tryAcquireHandshakeSlot(id(49)));
}

TEST(ProxyTunnelAdmissionController, KnownIdentifiersAreAdmittedEvenWhenFull) {
    ProxyTunnelAdmissionController controller(2);
    ASSERT_TRUE(controller.tryAcquireHandshakeSlot("a"));
    ASSERT_TRUE(controller.tryAcquireHandshakeSlot("b"));
    EXPECT_TRUE(controller.tryAcquireHandshakeSlot("a")) << "already pending";
    EXPECT_EQ(controller.pendingHandshakeCount(), 2u);

    controller.markHandshakeEstablished("b");
    ASSERT_TRUE(controller.tryAcquireHandshakeSlot("c"));
    EXPECT_TRUE(controller.tryAcquireHandshakeSlot("b")) << "already established";
    EXPECT_EQ(controller.pendingHandshakeCount(), 2u) << "and not added to the pending set";
}

TEST(ProxyTunnelAdmissionController, UnknownIdentifiersAreHarmless) {
    ProxyTunnelAdmissionController controller(48);
    controller.releaseHandshakeSlot("nobody");
    controller.markHandshakeEstablished("stranger");
    EXPECT_EQ(controller.pendingHandshakeCount(), 0u);
    EXPECT_EQ(controller.establishedTunnelCount(), 1u);
    for (int i = 0; i < 200; ++i) {
        controller.markHandshakeEstablished(id(i));
    }
    for (int i = 0; i < 48; ++i) {
        EXPECT_TRUE(controller.tryAcquireHandshakeSlot(id(1000 + i))) << "established flows hold no slot";
    }
}

TEST(ProxyTunnelAdmissionController, ConcurrentAcquirersNeverExceedTheLimit) {
    ProxyTunnelAdmissionController controller(48);
    std::atomic<int> admitted{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            while (!go) {
                std::this_thread::yield();
            }
            for (int i = 0; i < 100; ++i) {
                if (controller.tryAcquireHandshakeSlot(id(t * 1000 + i))) {
                    admitted.fetch_add(1);
                }
            }
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(admitted.load(), 48);
    EXPECT_EQ(controller.pendingHandshakeCount(), 48u);
}

}  // namespace
}  // namespace sentorix
