#pragma once

#include "NENetworkRule.h"

#include <optional>
#include <string>
#include <vector>

namespace sentorix {

// What the provider asks the platform to hand it (included rules) and to leave alone (excluded rules).
class NETransparentProxyNetworkSettings {
public:
    explicit NETransparentProxyNetworkSettings(std::string tunnelRemoteAddress)
        : tunnelRemoteAddress_(std::move(tunnelRemoteAddress)) {}

    const std::string& tunnelRemoteAddress() const { return tunnelRemoteAddress_; }

    std::optional<std::vector<NENetworkRule>> includedNetworkRules;
    std::optional<std::vector<NENetworkRule>> excludedNetworkRules;

private:
    std::string tunnelRemoteAddress_;
};

}  // namespace sentorix
