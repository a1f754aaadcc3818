#pragma once

#include <chrono>
#include <string>

namespace sentorix {

// 2026-03-01T08:05:09Z: UTC, whole seconds.
std::string iso8601Seconds(std::chrono::system_clock::time_point time);
// 2026-03-01T08:05:09.123Z: UTC, milliseconds.
std::string iso8601Milliseconds(std::chrono::system_clock::time_point time);

}  // namespace sentorix
