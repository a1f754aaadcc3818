#include "CapturingLogSink.h"

namespace sentorix {

void CapturingLogSink::write(const LogEntry& entry) {
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    changed_.notify_all();
}

std::vector<LogEntry> CapturingLogSink::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> CapturingLogSink::messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    result.reserve(entries_.size());
    for (const auto& entry : entries_) {
        result.push_back(entry.message);
    }
    return result;
}

size_t CapturingLogSink::countLocked(const std::string& prefix) const {
    size_t count = 0;
    for (const auto& entry : entries_) {
        if (entry.message.starts_with(prefix)) {
            ++count;
        }
    }
    return count;
}

size_t CapturingLogSink::countStartingWith(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    return countLocked(prefix);
}

bool CapturingLogSink::waitForCount(const std::string& prefix, size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return countLocked(prefix) >= count; });
}

bool CapturingLogSink::waitUntil(const std::function<bool(const std::vector<std::string>&)>& holds,
                                 std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        std::vector<std::string> messages;
        for (const auto& entry : entries_) {
            messages.push_back(entry.message);
        }
        return holds(messages);
    });
}

void CapturingLogSink::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace sentorix
