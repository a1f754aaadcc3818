#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace sentorix::testing {

// One ordered record shared by several fakes, so that a test can check the order of their calls.
class Journal {
public:
    void add(std::string entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

}  // namespace sentorix::testing
