#pragma once

#include "Result.h"

#include "PropertyListValue.h"

#include <optional>
#include <string>

namespace sentorix::linux_system {

class SecureDirectory;

// The saved configurations on disk: one property list in the state directory holding an array of
// dictionaries. The host's store reads and replaces it; the extension reads its own entry from it.
class ConfigurationFile {
public:
    // The saved entries; a missing directory or file holds none. An error when the file cannot be
    // trusted or is not a list of configurations.
    static Result<PropertyListValue::Array> read(const std::string& stateDirectory);
    // The provider configuration of the first enabled entry for the extension `bundleIdentifier` (empty
    // when that entry has none); nothing when no enabled entry is for it.
    static std::optional<PropertyListValue::Dictionary> enabledProviderConfiguration(
        const PropertyListValue::Array& entries, const std::string& bundleIdentifier);
    // Replaces the file whole and durably: a reader sees the old file or the new one, never a part, and
    // a crash leaves at most a stray temporary.
    static Result<void> replace(const SecureDirectory& stateDirectory, const PropertyListValue::Array& entries);
};

}  // namespace sentorix::linux_system
