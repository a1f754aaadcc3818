#include "StderrLogSink.h"

#include "ISO8601.h"

#include <cstdio>

namespace sentorix {

std::string StderrLogSink::format(const LogEntry& entry) {
    std::string line = iso8601Milliseconds(std::chrono::system_clock::now());
    line += ' ';
    line += OSLogTypeName(entry.type);
    line += " [";
    line += entry.subsystem;
    line += ':';
    line += entry.category;
    line += "] ";
    line += entry.message;
    line += '\n';
    return line;
}

void StderrLogSink::write(const LogEntry& entry) {
    const std::string line = format(entry);
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace sentorix
