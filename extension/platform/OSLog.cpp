#include "OSLog.h"

#include "StderrLogSink.h"

#include <atomic>
#include <memory>

namespace sentorix {

const char* OSLogTypeName(OSLogType type) {
    switch (type) {
    case OSLogType::Debug: return "debug";
    case OSLogType::Info: return "info";
    case OSLogType::Default: return "default";
    case OSLogType::Error: return "error";
    }
    return "unknown";
}

namespace {

// Read on every line from every thread, set once or twice in a life: atomic, so that lines from the
// flow threads do not queue for a mutex to learn where they go.
using SinkSlot = std::atomic<std::shared_ptr<LogSink>>;

SinkSlot& sinkSlot() {
    // Never destroyed: threads may still log while the process exits.
    static SinkSlot* slot = new SinkSlot(std::make_shared<StderrLogSink>());
    return *slot;
}

}  // namespace

OSLog::OSLog(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

const OSLog& OSLog::defaultLog() {
    static const OSLog log("", "");
    return log;
}

std::shared_ptr<LogSink> OSLog::setSink(std::shared_ptr<LogSink> sink) { return sinkSlot().exchange(std::move(sink)); }

void OSLog::log(OSLogType type, std::string_view message) const {
    const std::shared_ptr<LogSink> sink = sinkSlot().load();
    if (sink) {
        sink->write(LogEntry{subsystem_, category_, type, std::string(message)});
    }
}

}  // namespace sentorix
