#include "OSLog.h"

#include "StderrLogSink.h"

#include <mutex>

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

struct SinkSlot {
    std::mutex mutex;
    std::shared_ptr<LogSink> sink = std::make_shared<StderrLogSink>();
};

SinkSlot& sinkSlot() {
    // Never destroyed: threads may still log while the process exits.
    static SinkSlot* slot = new SinkSlot;
    return *slot;
}

}  // namespace

OSLog::OSLog(std::string subsystem, std::string category, Volume volume)
    : subsystem_(std::move(subsystem)), category_(std::move(category)), volume_(volume) {}

const OSLog& OSLog::defaultLog() {
    static const OSLog log("", "");
    return log;
}

std::shared_ptr<LogSink> OSLog::setSink(std::shared_ptr<LogSink> sink) {
    auto& slot = sinkSlot();
    std::lock_guard lock(slot.mutex);
    slot.sink.swap(sink);
    return sink;
}

void OSLog::log(OSLogType type, std::string_view message) const {
    std::shared_ptr<LogSink> sink;
    {
        auto& slot = sinkSlot();
        std::lock_guard lock(slot.mutex);
        sink = slot.sink;
    }
    if (sink) {
        sink->write(LogEntry{subsystem_, category_, type, std::string(message), volume_ == Volume::perFlow});
    }
}

}  // namespace sentorix
