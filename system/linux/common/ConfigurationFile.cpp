#include "ConfigurationFile.h"

#include "PropertyListFile.h"
#include "SecureDirectory.h"
#include "StateDirectory.h"

namespace sentorix::linux_system {

Result<PropertyListValue::Array> ConfigurationFile::read(const std::string& directory) {
    const auto state = SecureDirectory::open(directory, false);
    if (!state) {
        return state.missing() ? Result<PropertyListValue::Array>(PropertyListValue::Array{}) : state.error();
    }
    const auto bytes = state->readFile(StateDirectory::ConfigurationsName, PropertyListFile::MaximumSize + 1);
    if (!bytes) {
        return bytes.missing() ? Result<PropertyListValue::Array>(PropertyListValue::Array{}) : bytes.error();
    }
    const std::string path = StateDirectory::configurationsPath(directory);
    const auto value = PropertyListFile::parse(*bytes, path);
    if (!value) {
        return value.error();
    }
    if (!value->get<PropertyListValue::Array>()) {
        return failure(EINVAL, path + " does not hold a list of configurations");
    }
    return *value->get<PropertyListValue::Array>();
}

std::optional<PropertyListValue::Dictionary> ConfigurationFile::enabledProviderConfiguration(
    const PropertyListValue::Array& entries, const std::string& bundleIdentifier) {
    using Dictionary = PropertyListValue::Dictionary;
    const auto field = [](const Dictionary& dictionary, const char* key) -> const PropertyListValue* {
        const auto found = dictionary.find(key);
        return found == dictionary.end() ? nullptr : &found->second;
    };
    for (const auto& item : entries) {
        const auto* entry = item.get<Dictionary>();
        const auto* enabled = entry ? field(*entry, "enabled") : nullptr;
        if (!enabled || !enabled->get<bool>() || !*enabled->get<bool>()) {
            continue;
        }
        const auto* protocol = field(*entry, "protocol");
        const auto* fields = protocol ? protocol->get<Dictionary>() : nullptr;
        const auto* identifier = fields ? field(*fields, "providerBundleIdentifier") : nullptr;
        if (!identifier || !identifier->get<std::string>() || *identifier->get<std::string>() != bundleIdentifier) {
            continue;
        }
        const auto* configuration = field(*fields, "providerConfiguration");
        const auto* values = configuration ? configuration->get<Dictionary>() : nullptr;
        return values ? *values : Dictionary{};
    }
    return std::nullopt;
}

Result<void> ConfigurationFile::replace(const SecureDirectory& state, const PropertyListValue::Array& entries) {
    const std::string path = state.pathOf(StateDirectory::ConfigurationsName);
    const auto bytes = PropertyListFile::serialize(entries, path);
    if (!bytes) {
        return bytes.error();
    }
    return state.replaceFile(StateDirectory::ConfigurationsName, *bytes, true);
}

}  // namespace sentorix::linux_system
