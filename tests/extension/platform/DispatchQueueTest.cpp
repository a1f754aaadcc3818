#include "platform/DispatchQueue.h"
#include "platform/DispatchSourceTimer.h"

#include <gtest/gtest.h>

#include <asio/post.hpp>

#include <atomic>
#include <chrono>
#include <functional>
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

// Runs `body` on a thread of the shared pool; whether it returned within 10 s.
bool returnsOnThePool(std::function<void()> body) {
    auto done = std::make_shared<std::promise<void>>();
    auto returned = done->get_future();
    asio::post(DispatchQueue::pool(), [body = std::move(body), done] {
        body();
        done->set_value();
    });
    return returned.wait_for(10s) == std::future_status::ready;
}

// A pool thread runs the brief blocks it launches once it is free; none may be left waiting for a thread
// that waits for them, or for a drain that never comes.
TEST(DispatchQueue, BriefBlocksLaunchedOnThePoolRunWhileTheirLauncherWaitsForThem) {
    auto first = DispatchQueue::create("com.sentorix.test.first", DispatchQueue::Kind::Serial);
    auto second = DispatchQueue::create("com.sentorix.test.second", DispatchQueue::Kind::Serial);
    {
        SCOPED_TRACE("the launcher waits in sync for the block it launched");
        auto ran = std::make_shared<std::atomic<bool>>(false);
        EXPECT_TRUE(returnsOnThePool([first, ran] {
            first->async([ran] { *ran = true; });
            first->sync([] {});
        }));
        EXPECT_TRUE(ran->load());
    }
    {
        SCOPED_TRACE("a block held back waits for one held back after it, whichever thread runs them");
        // Rounds of bursts: which thread drains which list varies with timing.
        constexpr int Pairs = 200;
        for (int round = 0; round < 10; ++round) {
            auto waited = std::make_shared<std::atomic<int>>(0);
            for (int i = 0; i < Pairs; ++i) {
                asio::post(DispatchQueue::pool(), [first, second, waited] {
                    first->async([second, waited] {
                        second->sync([] {});
                        ++*waited;
                    });
                    second->async([] {});
                });
            }
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (waited->load() < Pairs && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            ASSERT_EQ(waited->load(), Pairs) << "round " << round;
        }
    }
    {
        SCOPED_TRACE("blocks launched from many handlers at once all run");
        constexpr int Launches = 2000;
        auto ran = std::make_shared<std::atomic<int>>(0);
        for (int i = 0; i < Launches; ++i) {
            asio::post(DispatchQueue::pool(), [first, ran] { first->async([ran] { ++*ran; }); });
        }
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (ran->load() < Launches && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(ran->load(), Launches);
    }
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
