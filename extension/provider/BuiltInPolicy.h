#pragma once

#include "platform/NENetworkRule.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sentorix {

// The lists and endpoints built into the extension; nothing here is read from a file.
struct BuiltInPolicy {
    static const std::vector<std::string>& bypassAppIds();
    static const std::vector<std::string>& hardBypassDomains();
    static const std::vector<std::string>& realtimeMediaDomains();
    static const std::vector<std::string>& interceptedPorts();

    static constexpr const char* ProxyHost = "127.0.0.1";
    static constexpr std::uint16_t ProxyPort = 8080;
    static constexpr double ConnectHandshakeTimeoutSeconds = 5.0;
    static constexpr std::int64_t MaxPendingHandshakes = 48;

    static std::vector<NENetworkRule> includedRules();
    static std::vector<NENetworkRule> excludedRules(std::uint16_t proxyPort);
};

}  // namespace sentorix
