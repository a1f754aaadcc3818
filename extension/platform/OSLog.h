#pragma once

#include "LogSink.h"
#include "OSLogType.h"

#include <memory>
#include <string>
#include <string_view>

namespace sentorix {

// A log handle with a subsystem and a category; every line goes to the process's current sink.
class OSLog {
public:
    enum class Volume { occasional, perFlow };

    OSLog(std::string subsystem, std::string category, Volume volume = Volume::occasional);

    // The handle of lines that belong to no subsystem.
    static const OSLog& defaultLog();

    // Replaces the process-wide sink and returns the previous one. The default writes to standard error.
    static std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    void log(OSLogType type, std::string_view message) const;
    void debug(std::string_view message) const { log(OSLogType::Debug, message); }
    void info(std::string_view message) const { log(OSLogType::Info, message); }
    void notice(std::string_view message) const { log(OSLogType::Default, message); }
    void error(std::string_view message) const { log(OSLogType::Error, message); }

private:
    std::string subsystem_;
    std::string category_;
    Volume volume_;
};

}  // namespace sentorix
