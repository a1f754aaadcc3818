#include "platform/DispatchQueue.h"
#include "platform/DispatchSourceTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace sentorix {
namespace {

using namespace std::chrono_literals;

TEST(DispatchQueue, SerialQueueRunsBlocksOneAtATimeInOrder) {
    auto queue = DispatchQueue::create("com.sentorix.test", DispatchQueue::Kind::Serial);
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        queue->async([&, i] {
            if (running.fetch_add(1) != 0) {
                overlapped = true;
            }
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue->sync([] {});
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[size_t(i)], i);
    }
    EXPECT_FALSE(overlapped);
}

TEST(DispatchQueue, ConcurrentBarrierRunsAloneAfterEarlierBlocks) {
    auto queue = DispatchQueue::create("com.sentorix.test", DispatchQueue::Kind::Concurrent);
    std::atomic<int> plainRunning{0};
    std::atomic<int> plainDone{0};
    std::atomic<bool> barrierSawOthers{false};
    std::promise<void> release;
    auto released = release.get_future().share();

    // Two plain blocks that hold each other up prove plain blocks overlap.
    for (int i = 0; i < 2; ++i) {
        queue->async([&, released] {
            plainRunning.fetch_add(1);
            released.wait();
            plainRunning.fetch_sub(1);
            plainDone.fetch_add(1);
        });
    }
    std::atomic<int> barrierSawDone{-1};
    queue->asyncBarrier([&] {
        barrierSawDone = plainDone.load();
        if (plainRunning.load() != 0) {
            barrierSawOthers = true;
        }
    });
    std::atomic<bool> laterRanBeforeBarrier{false};
    queue->async([&] {
        if (barrierSawDone < 0) {
            laterRanBeforeBarrier = true;
        }
    });
    while (plainRunning.load() < 2) {
        std::this_thread::yield();
    }
    release.set_value();
    queue->syncBarrier([] {});
    EXPECT_EQ(barrierSawDone, 2);
    EXPECT_FALSE(barrierSawOthers);
    EXPECT_FALSE(laterRanBeforeBarrier);
}

TEST(DispatchQueue, SyncRunsOnCallerAndWaitsForQueuedBarrier) {
    auto queue = DispatchQueue::create("com.sentorix.test", DispatchQueue::Kind::Concurrent);
    std::atomic<bool> barrierDone{false};
    queue->asyncBarrier([&] {
        std::this_thread::sleep_for(50ms);
        barrierDone = true;
    });
    std::thread::id ranOn;
    bool sawBarrier = false;
    queue->sync([&] {
        ranOn = std::this_thread::get_id();
        sawBarrier = barrierDone.load();
    });
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(sawBarrier);
}

TEST(DispatchQueue, BlocksThatMayWaitNeverHoldTheThreadsBriefBlocksRunOn) {
    // More waiting blocks than the shared pool has threads: were they run there, the brief block would
    // never run.
    auto waiting = DispatchQueue::create("com.sentorix.test.waiting", DispatchQueue::Kind::Concurrent,
                                         DispatchQueue::Work::MayWait);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> waitingStarted{0};
    std::atomic<bool> waitedOnSharedPool{false};
    for (int i = 0; i < 3; ++i) {
        waiting->async([&, released] {
            if (DispatchQueue::pool().get_executor().running_in_this_thread()) {
                waitedOnSharedPool = true;
            }
            ++waitingStarted;
            released.wait();
        });
    }
    while (waitingStarted.load() < 3) {
        std::this_thread::yield();
    }
    auto brief = DispatchQueue::create("com.sentorix.test.brief", DispatchQueue::Kind::Serial);
    std::promise<bool> ranOnSharedPool;
    brief->async([&] { ranOnSharedPool.set_value(DispatchQueue::pool().get_executor().running_in_this_thread()); });
    auto ran = ranOnSharedPool.get_future();
    const bool ranMeanwhile = ran.wait_for(10s) == std::future_status::ready;
    release.set_value();
    waiting->syncBarrier([] {});
    ASSERT_TRUE(ranMeanwhile);
    EXPECT_TRUE(ran.get());
    EXPECT_FALSE(waitedOnSharedPool);
}

TEST(DispatchSourceTimer, RepeatsUntilCancelledAndNeverAfterCancelReturns) {
    auto queue = DispatchQueue::create("com.sentorix.test", DispatchQueue::Kind::Serial);
    auto timer = DispatchSourceTimer::create(queue);
    std::atomic<int> ticks{0};
    std::promise<void> third;
    timer->schedule(0ms, 20ms);
    timer->setEventHandler([&] {
        if (ticks.fetch_add(1) == 2) {
            third.set_value();
        }
    });
    timer->resume();
    const bool repeated = third.get_future().wait_for(5s) == std::future_status::ready;
    timer->cancel();
    queue->sync([] {});  // a tick already queued has its chance to (not) run
    ASSERT_TRUE(repeated);
    const int atCancel = ticks.load();
    std::this_thread::sleep_for(80ms);
    queue->sync([] {});
    EXPECT_EQ(ticks.load(), atCancel);
}

TEST(DispatchSourceTimer, OneShotFiresOnce) {
    auto queue = DispatchQueue::create("com.sentorix.test", DispatchQueue::Kind::Serial);
    auto timer = DispatchSourceTimer::create(queue);
    std::atomic<int> ticks{0};
    timer->schedule(10ms, std::nullopt);
    timer->setEventHandler([&] { ticks.fetch_add(1); });
    timer->resume();
    std::this_thread::sleep_for(100ms);
    queue->sync([] {});
    EXPECT_EQ(ticks.load(), 1);
}

}  // namespace
}  // namespace sentorix
