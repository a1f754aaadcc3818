#include "NEProvider.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace sentorix {

namespace {
std::mutex modeMutex;
NEProvider::SystemExtensionMode installedMode;
}  // namespace

void NEProvider::setSystemExtensionMode(SystemExtensionMode mode) {
    std::lock_guard lock(modeMutex);
    installedMode = std::move(mode);
}

void NEProvider::startSystemExtensionMode() {
    SystemExtensionMode mode;
    {
        std::lock_guard lock(modeMutex);
        mode = installedMode;
    }
    if (!mode) {
        std::fputs("NEProvider: no system extension mode installed\n", stderr);
        std::abort();
    }
    mode();
}

void dispatchMain() {
    std::mutex parked;
    std::condition_variable never;
    std::unique_lock lock(parked);
    for (;;) {
        never.wait(lock);
    }
}

}  // namespace sentorix
