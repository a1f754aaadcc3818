#pragma once

#include "app/platform/MainQueue.h"

namespace sentorix {

// The main queue on Qt's event loop: blocks run on the thread of the application object.
class QtMainQueue : public MainQueue {
public:
    void async(std::function<void()> block) override;
};

}  // namespace sentorix
