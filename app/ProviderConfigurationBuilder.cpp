#include "ProviderConfigurationBuilder.h"

#include "platform/StringTrimming.h"

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

}  // namespace sentorix
