#pragma once

#include "NEVPNProtocol.h"
#include "PropertyListValue.h"

#include <optional>
#include <string>

namespace sentorix {

class NETunnelProviderProtocol : public NEVPNProtocol {
public:
    std::string providerBundleIdentifier;
    std::optional<ProviderConfiguration> providerConfiguration;
};

}  // namespace sentorix
