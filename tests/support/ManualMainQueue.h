#pragma once

#include "MainQueue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace sentorix::testing {

// A main queue the test drains by hand, so it can look between steps.
class ManualMainQueue : public MainQueue {
public:
    void async(std::function<void()> block) override {
        {
            std::lock_guard lock(mutex_);
            blocks_.push_back(std::move(block));
        }
        queued_.notify_all();
    }
    // Waits until something is queued, or `limit` passes; gives whether something is.
    bool waitForBlocks(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return queued_.wait_for(lock, limit, [&] { return !blocks_.empty(); });
    }
    // Runs what is queued, and waits for more, until `done` holds or `limit` passes; gives `done()`.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            runAll();
            if (done()) {
                return true;
            }
            std::unique_lock lock(mutex_);
            if (!queued_.wait_until(lock, deadline, [&] { return !blocks_.empty(); })) {
                lock.unlock();
                return done();
            }
        }
    }
    // Runs blocks, including ones they queue, until none is left; gives how many ran.
    int runAll() {
        int ran = 0;
        for (;;) {
            std::function<void()> block;
            {
                std::lock_guard lock(mutex_);
                if (blocks_.empty()) {
                    return ran;
                }
                block = std::move(blocks_.front());
                blocks_.pop_front();
            }
            block();
            ++ran;
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::function<void()>> blocks_;
};

}  // namespace sentorix::testing
