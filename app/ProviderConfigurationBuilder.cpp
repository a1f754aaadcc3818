#include "ProviderConfigurationBuilder.h"

#include "StringTrimming.h"
#include "UTF8.h"

#include <algorithm>

namespace sentorix {

ProviderConfiguration ProviderConfigurationBuilder::build(const HostProcess& process) {
    ProviderConfiguration configuration;
    const auto value = process.environment(MonitoringSocketVariable);
    if (!value) {
        return configuration;
    }
    if (std::string trimmed = trimmingWhitespaceAndNewlines(*value); !trimmed.empty()) {
        configuration.emplace("monitoringSocketPath", std::move(trimmed));
    }
    return configuration;
}

std::optional<std::string> ProviderConfigurationBuilder::problem(const HostProcess& process) {
    const auto value = process.environment(MonitoringSocketVariable);
    if (!value) {
        return std::nullopt;
    }
    const std::string_view trimmed = trimmedView(*value);
    const bool control = std::any_of(trimmed.begin(), trimmed.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (!isValidUtf8(trimmed) || control) {
        return std::string(MonitoringSocketVariable) + " is not valid UTF-8 or holds control characters";
    }
    return std::nullopt;
}

}  // namespace sentorix
