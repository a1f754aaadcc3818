#pragma once

#include "LogSink.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace sentorix {

// Keeps every entry in memory so that tests can read what was logged.
class CapturingLogSink : public LogSink {
public:
    void write(const LogEntry& entry) override;

    std::vector<LogEntry> entries() const;
    std::vector<std::string> messages() const;
    // Number of messages that start with the prefix.
    size_t countStartingWith(const std::string& prefix) const;
    // Waits until at least `count` messages start with the prefix; false on time-out.
    bool waitForCount(const std::string& prefix, size_t count, std::chrono::milliseconds timeout) const;
    // Waits until `holds` is true of the messages so far; false on time-out.
    bool waitUntil(const std::function<bool(const std::vector<std::string>&)>& holds,
                   std::chrono::milliseconds timeout) const;
    void clear();

private:
    size_t countLocked(const std::string& prefix) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<LogEntry> entries_;
};

}  // namespace sentorix
