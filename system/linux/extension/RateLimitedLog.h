#pragma once

#include "OSLog.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace sentorix::linux_system {

// A log line for a condition that may recur many times a second (descriptors running out, unwanted
// connections): at most one line per interval. The first occurrence is written at once; the ones that
// follow within the interval are counted and written as one line when it ends, so a burst stays
// visible without flooding the log. Thread-safe; `note` never waits on anything but a short lock.
class RateLimitedLog {
public:
    using Interval = std::chrono::steady_clock::duration;
    // Builds a line from the number of occurrences it covers and the detail of the latest one. Called
    // outside any lock, possibly from several threads.
    using Format = std::function<std::string(std::uint64_t count, const std::string& detail)>;

    RateLimitedLog(OSLog log, OSLogType type, Format format, Interval interval = std::chrono::seconds(1));
    // Occurrences not yet written when the object goes are dropped.
    ~RateLimitedLog();
    RateLimitedLog(const RateLimitedLog&) = delete;
    RateLimitedLog& operator=(const RateLimitedLog&) = delete;

    void note(std::string_view detail = {});

    // " (N times)" for N > 1, else nothing: a suffix for formats that count repeats.
    static std::string times(std::uint64_t count);

    // Whether the error is running out of descriptors (EMFILE, ENFILE).
    static bool isDescriptorShortage(const std::error_code& error);
    // When `error` is running out of descriptors, says that `what` failed for it: one error line a
    // second per `what` ("Sentorix platform: cannot <what>: <reason>").
    static void noteIfDescriptorShortage(const std::string& what, const std::error_code& error);

private:
    struct State;
    // Shared with the pending end-of-interval wait, which may outlive the object.
    std::shared_ptr<State> state_;
};

}  // namespace sentorix::linux_system
