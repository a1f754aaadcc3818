#pragma once

#include "MainQueue.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sentorix {

// Named notifications about an object, delivered to registered blocks on the queue they name.
class NSNotificationCenter {
public:
    using Token = std::shared_ptr<const void>;

    static NSNotificationCenter& defaultCenter();

    // Only notifications posted with `object` reach the block (any object when null).
    Token addObserver(std::string name, const void* object, std::shared_ptr<MainQueue> queue,
                      std::function<void()> block);
    // Blocks of the registration that are still queued do not run.
    void removeObserver(const Token& token);
    void post(const std::string& name, const void* object);

private:
    struct Registration;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Registration>> registrations_;
};

}  // namespace sentorix
