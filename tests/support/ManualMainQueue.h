#pragma once

#include "app/platform/MainQueue.h"

#include <deque>
#include <mutex>

namespace sentorix::testing {

// A main queue the test drains by hand, so it can look between steps.
class ManualMainQueue : public MainQueue {
public:
    void async(std::function<void()> block) override {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
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
    std::deque<std::function<void()>> blocks_;
};

}  // namespace sentorix::testing
