#pragma once

#include "HostProcess.h"
#include "PropertyListValue.h"

namespace sentorix {

// The provider-configuration dictionary the application hands to the extension.
class ProviderConfigurationBuilder {
public:
    static constexpr const char* MonitoringSocketVariable = "SENTORIX_EXTENSION_MONITORING_SOCKET_PATH";

    // "monitoringSocketPath" with the variable's trimmed value, or nothing when it is unset or blank.
    static ProviderConfiguration build(const HostProcess& process);
    // Why the variable's value cannot be saved faithfully (not UTF-8, or control characters), if it cannot.
    static std::optional<std::string> problem(const HostProcess& process);
};

}  // namespace sentorix
