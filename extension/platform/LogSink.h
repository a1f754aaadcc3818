#pragma once

#include "OSLogType.h"

#include <string>

namespace sentorix {

struct LogEntry {
    std::string subsystem;
    std::string category;
    OSLogType type;
    std::string message;
    // A line every flow writes: a sink that keeps lines for long may keep these apart, or not at all.
    bool perFlow = false;
};

// Where log lines end up; implementations must accept calls from any thread.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogEntry& entry) = 0;
};

}  // namespace sentorix
