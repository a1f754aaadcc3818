#include "ISO8601.h"

#include <cstdio>

namespace sentorix {

namespace {

std::string format(std::chrono::system_clock::time_point time, bool withMilliseconds) {
    using namespace std::chrono;
    const auto day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss clock{floor<milliseconds>(time - day)};
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", int(date.year()),
                                     unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                                     int(clock.minutes().count()), int(clock.seconds().count()));
    std::string result(text, size_t(length));
    if (withMilliseconds) {
        std::snprintf(text, sizeof text, ".%03d", int(clock.subseconds().count()));
        result += text;
    }
    result += 'Z';
    return result;
}

}  // namespace

std::string iso8601Seconds(std::chrono::system_clock::time_point time) { return format(time, false); }

std::string iso8601Milliseconds(std::chrono::system_clock::time_point time) { return format(time, true); }

}  // namespace sentorix
