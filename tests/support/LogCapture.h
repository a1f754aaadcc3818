#pragma once

#include "CapturingLogSink.h"
#include "OSLog.h"

#include <memory>

namespace sentorix::testing {

// Routes the process's log into memory for the life of the object.
class LogCapture {
public:
    LogCapture() : sink_(std::make_shared<CapturingLogSink>()), previous_(OSLog::setSink(sink_)) {}
    ~LogCapture() { OSLog::setSink(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    CapturingLogSink& operator*() const { return *sink_; }
    CapturingLogSink* operator->() const { return sink_.get(); }

private:
    std::shared_ptr<CapturingLogSink> sink_;
    std::shared_ptr<LogSink> previous_;
};

}  // namespace sentorix::testing
