#pragma once

#include "MainQueue.h"

#include <deque>
#include <memory>
#include <mutex>

namespace sentorix {

// The main queue on Qt's event loop: blocks run on the thread of the application object, in order.
// The blocks stay in our own locked queue and Qt only carries an empty wake-up event, so nothing a
// block holds crosses threads behind Qt's internal synchronisation.
class QtMainQueue : public MainQueue {
public:
    // Made on the main thread, once the application object exists.
    QtMainQueue();
    ~QtMainQueue() override;

    void async(std::function<void()> block) override;

private:
    class Receiver;
    void drain();

    std::mutex mutex_;
    std::deque<std::function<void()>> blocks_;
    bool wakeUpPosted_ = false;
    std::unique_ptr<Receiver> receiver_;
};

}  // namespace sentorix
