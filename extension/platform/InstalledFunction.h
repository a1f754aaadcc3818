#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <utility>

namespace sentorix {

// A function the program's composition root installs and the interface calls through. Calling it before
// it is installed is a wiring fault, not a runtime condition: the process says so and aborts.
template <class Signature>
class InstalledFunction {
public:
    explicit InstalledFunction(const char* missingMessage) : missingMessage_(missingMessage) {}

    void install(std::function<Signature> function) {
        std::lock_guard lock(mutex_);
        function_ = std::move(function);
    }

    // A copy, so that the call runs without the lock.
    std::function<Signature> get() const {
        std::function<Signature> function;
        {
            std::lock_guard lock(mutex_);
            function = function_;
        }
        if (!function) {
            std::fputs(missingMessage_, stderr);
            std::abort();
        }
        return function;
    }

private:
    const char* const missingMessage_;
    mutable std::mutex mutex_;
    std::function<Signature> function_;
};

}  // namespace sentorix
