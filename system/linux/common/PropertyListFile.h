#pragma once

#include "PropertyListBounds.h"
#include "NSError.h"
#include "Result.h"
#include "PropertyListValue.h"

#include <cstddef>
#include <optional>
#include <string>

namespace sentorix::linux_system {

// Reads property-list files (XML or binary) and writes them (XML) through libplist.
class PropertyListFile {
public:
    // Larger files are not property lists we accept.
    static constexpr std::size_t MaximumSize = PropertyListBounds::MaxBytes;

    // The value as XML; `name` names the destination in errors. Refuses text other readers would reject
    // (not UTF-8, or characters XML cannot carry) and nesting this reader would refuse.
    static Result<std::string> serialize(const PropertyListValue& value, const std::string& name);
    // The value held in `bytes` (XML or binary); `name` names their source in errors. Bytes beyond
    // PropertyListBounds are "not a property list", as malformed ones are.
    static Result<PropertyListValue> parse(const std::string& bytes, const std::string& name);
    // Replaces the file atomically and durably: temporary file, fsync, rename, fsync of the directory.
    static Result<void> save(const std::string& path, const PropertyListValue& value);
    static Result<PropertyListValue> load(const std::string& path);
};

}  // namespace sentorix::linux_system
