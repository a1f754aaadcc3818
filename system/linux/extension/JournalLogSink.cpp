#include "JournalLogSink.h"

namespace sentorix::linux_system {

JournalLogSink::JournalLogSink(std::string systemSocket, std::string flowSocket)
    : system_(std::move(systemSocket), false), flows_(std::move(flowSocket), false) {}

const char* JournalLogSink::priorityOf(OSLogType type) {
    switch (type) {
    case OSLogType::Debug: return "7";
    case OSLogType::Info: return "6";
    case OSLogType::Default: return "5";
    case OSLogType::Error: return "3";
    }
    return "5";
}

void JournalLogSink::write(const LogEntry& entry) {
    const bool routineFlowLine = entry.category == FlowCategory && entry.type != OSLogType::Error;
    const auto sent = (routineFlowLine ? flows_ : system_)
                          .send({{"MESSAGE", entry.message},
                                 {"PRIORITY", priorityOf(entry.type)},
                                 {"SYSLOG_IDENTIFIER", Identifier},
                                 {"SENTORIX_SUBSYSTEM", entry.subsystem},
                                 {"SENTORIX_CATEGORY", entry.category}});
    if (!sent) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace sentorix::linux_system
