#pragma once

#include "platform/NSError.h"
#include "platform/PropertyListValue.h"

#include <optional>
#include <string>

namespace sentorix::linux_system {

// Reads and writes property-list files (XML or binary) through libplist.
class PropertyListFile {
public:
    static std::optional<PropertyListValue> load(const std::string& path, OptionalError& error);
    // XML, written to a temporary file, flushed and renamed into place.
    static OptionalError save(const std::string& path, const PropertyListValue& value);
};

}  // namespace sentorix::linux_system
