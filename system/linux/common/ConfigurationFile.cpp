#include "ConfigurationFile.h"

#include "PropertyListFile.h"
#include "SecureDirectory.h"
#include "StateDirectory.h"

namespace sentorix::linux_system {

std::optional<PropertyListValue::Array> ConfigurationFile::read(const std::string& directory, std::string& error) {
    bool missing = false;
    const auto state = SecureDirectory::open(directory, false, error, &missing);
    const auto bytes = state ? state->readFile(StateDirectory::ConfigurationsName, PropertyListFile::MaximumSize + 1,
                                               error, &missing)
                             : std::nullopt;
    if (missing) {
        return PropertyListValue::Array{};
    }
    if (!bytes) {
        return std::nullopt;
    }
    const std::string path = StateDirectory::configurationsPath(directory);
    OptionalError parseError;
    const auto value = PropertyListFile::parse(*bytes, path, parseError);
    if (!value || !value->get<PropertyListValue::Array>()) {
        error = parseError ? parseError->localizedDescription() : path + " does not hold a list of configurations";
        return std::nullopt;
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

bool ConfigurationFile::replace(const SecureDirectory& state, const PropertyListValue::Array& entries,
                                std::string& error) {
    const std::string path = state.pathOf(StateDirectory::ConfigurationsName);
    OptionalError serializeError;
    const auto bytes = PropertyListFile::serialize(entries, path, serializeError);
    if (!bytes) {
        error = serializeError->localizedDescription();
        return false;
    }
    return state.replaceFile(StateDirectory::ConfigurationsName, *bytes, true, error);
}

}  // namespace sentorix::linux_system
