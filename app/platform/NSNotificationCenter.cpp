#include "NSNotificationCenter.h"

#include <algorithm>
#include <atomic>

namespace sentorix {

struct NSNotificationCenter::Registration {
    std::string name;
    const void* object;
    std::shared_ptr<MainQueue> queue;
    std::function<void()> block;
    std::atomic<bool> active{true};
};

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
    static NSNotificationCenter* center = new NSNotificationCenter;
    return *center;
}

NSNotificationCenter::Token NSNotificationCenter::addObserver(std::string name, const void* object,
                                                              std::shared_ptr<MainQueue> queue,
                                                              std::function<void()> block) {
    auto registration = std::make_shared<Registration>();
    registration->name = std::move(name);
    registration->object = object;
    registration->queue = std::move(queue);
    registration->block = std::move(block);
    std::lock_guard lock(mutex_);
    registrations_.push_back(registration);
    return registration;
}

void NSNotificationCenter::removeObserver(const Token& token) {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(registrations_.begin(), registrations_.end(),
                                    [&](const auto& registration) { return registration == token; });
    if (found != registrations_.end()) {
        (*found)->active = false;
        registrations_.erase(found);
    }
}

void NSNotificationCenter::post(const std::string& name, const void* object) {
    std::vector<std::shared_ptr<Registration>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& registration : registrations_) {
            if (registration->name == name && (!registration->object || registration->object == object)) {
                matching.push_back(registration);
            }
        }
    }
    for (auto& registration : matching) {
        registration->queue->async([registration] {
            if (registration->active) {
                registration->block();
            }
        });
    }
}

}  // namespace sentorix
