#pragma once

#include <memory>
#include <mutex>

namespace sentorix {

// One shared object the process entry puts in place for everything else to find.
template <typename T>
class ProcessWide {
public:
    std::shared_ptr<T> get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void set(std::shared_ptr<T> value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> value_;
};

}  // namespace sentorix
