#pragma once

#include "platform/NSError.h"
#include "platform/PropertyListValue.h"

#include <optional>
#include <string>

namespace sentorix::linux_system {

// Reads property-list files (XML or binary) and writes them (XML) through libplist.
class PropertyListFile {
public:
    // Replaces the file atomically and durably: temporary file, fsync, rename, fsync of the directory.
    static bool save(const std::string& path, const PropertyListValue& value, OptionalError& error);
    static std::optional<PropertyListValue> load(const std::string& path, OptionalError& error);
};

}  // namespace sentorix::linux_system
