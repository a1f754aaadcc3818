#pragma once

#include <functional>
#include <memory>

namespace sentorix {

// The host application's main queue: blocks run one at a time on its event loop's thread.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void async(std::function<void()> block) = 0;

    static std::shared_ptr<MainQueue> main();
    // Set once by the process entry, before anything is submitted.
    static void setMain(std::shared_ptr<MainQueue> queue);
};

}  // namespace sentorix
