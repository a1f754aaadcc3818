#pragma once

#include "platform/NSError.h"
#include "platform/PropertyListValue.h"

#include <optional>
#include <string>

namespace sentorix::linux_system {

// Reads property-list files (XML or binary) through libplist.
class PropertyListFile {
public:
    static std::optional<PropertyListValue> load(const std::string& path, OptionalError& error);
};

}  // namespace sentorix::linux_system
