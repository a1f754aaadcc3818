#pragma once

#include "LogSink.h"

#include <mutex>

namespace sentorix {

// The default sink: one line per entry on standard error, with a UTC time stamp.
class StderrLogSink : public LogSink {
public:
    void write(const LogEntry& entry) override;

private:
    std::mutex mutex_;
};

}  // namespace sentorix
