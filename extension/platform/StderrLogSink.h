#pragma once

#include "LogSink.h"

#include <mutex>

namespace sentorix {

// The default sink: one line per entry on standard error, with a UTC time stamp.
class StderrLogSink : public LogSink {
public:
    void write(const LogEntry& entry) override;
    // The entry as one line, ending in a line break.
    static std::string format(const LogEntry& entry);

private:
    std::mutex mutex_;
};

}  // namespace sentorix
