#include "MainQueue.h"

#include <mutex>

namespace sentorix {

namespace {
std::mutex mainMutex;
std::shared_ptr<MainQueue> mainQueue;
}  // namespace

std::shared_ptr<MainQueue> MainQueue::main() {
    std::lock_guard lock(mainMutex);
    return mainQueue;
}

void MainQueue::setMain(std::shared_ptr<MainQueue> queue) {
    std::lock_guard lock(mainMutex);
    mainQueue = std::move(queue);
}

}  // namespace sentorix
