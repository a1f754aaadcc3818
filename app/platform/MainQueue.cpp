#include "MainQueue.h"

#include "ProcessWide.h"

namespace sentorix {

namespace {
ProcessWide<MainQueue> mainQueue;
}  // namespace

std::shared_ptr<MainQueue> MainQueue::main() { return mainQueue.get(); }
void MainQueue::setMain(std::shared_ptr<MainQueue> queue) { mainQueue.set(std::move(queue)); }

}  // namespace sentorix
