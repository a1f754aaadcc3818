// libFuzzer target: raw bytes read as a property list. Besides neither crashing nor running away, a
// refusal names its source, and an accepted value that can be written reads back as it was.

#include "PropertyListFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using sentorix::PropertyListValue;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "reader property broken: %s\n", what);
        std::abort();
    }
}

// XML keeps dates to the second and reals to the digits it prints: only the other values must come back
// bit for bit.
bool comparable(const PropertyListValue& value) {
    if (value.get<double>() || value.get<PropertyListValue::Date>()) {
        return false;
    }
    if (const auto* array = value.get<PropertyListValue::Array>()) {
        return std::all_of(array->begin(), array->end(), comparable);
    }
    if (const auto* dictionary = value.get<PropertyListValue::Dictionary>()) {
        return std::all_of(dictionary->begin(), dictionary->end(),
                           [](const auto& entry) { return comparable(entry.second); });
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using sentorix::OptionalError;
    using sentorix::linux_system::PropertyListFile;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const auto value = PropertyListFile::parse(bytes, "input");
    if (!value) {
        check(value.error().localizedDescription() == "input is not a property list", "a refusal without its error");
        return 0;
    }
    const auto written = PropertyListFile::serialize(*value, "output");
    if (!written) {
        check(!written.error().localizedDescription().empty(), "a value neither written nor refused");
        return 0;
    }
    const auto reread = PropertyListFile::parse(*written, "output");
    check(reread.ok(), "what was written cannot be read");
    check(!comparable(*value) || *reread == *value, "what was written reads back differently");
    return 0;
}
