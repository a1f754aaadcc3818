#include "NEProvider.h"

#include "InstalledFunction.h"

#include <condition_variable>
#include <mutex>

namespace sentorix {

namespace {
InstalledFunction<void()>& installedMode() {
    static auto* const mode = new InstalledFunction<void()>("NEProvider: no system extension mode installed\n");
    return *mode;
}
}  // namespace

void NEProvider::setSystemExtensionMode(SystemExtensionMode mode) { installedMode().install(std::move(mode)); }

void NEProvider::startSystemExtensionMode() { installedMode().get()(); }

void dispatchMain() {
    std::mutex parked;
    std::condition_variable never;
    std::unique_lock lock(parked);
    for (;;) {
        never.wait(lock);
    }
}

}  // namespace sentorix
