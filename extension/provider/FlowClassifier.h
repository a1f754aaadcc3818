#pragma once

#include "platform/PeekedHostname.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace sentorix {

// What becomes of a new flow: left to the system, refused (UDP only), or relayed through the local proxy.
enum class FlowAction { bypass, dropUDP, proxyTCP };
const char* toString(FlowAction action);

// The decision from the built-in lists alone: no state but the lists, no time, no health. Every answer
// depends only on its arguments, so it may be asked from any thread.
class FlowClassifier {
public:
    struct CaseInsensitiveHash {
        std::size_t operator()(const std::string& text) const;
    };
    struct CaseInsensitiveEqual {
        bool operator()(const std::string& a, const std::string& b) const;
    };

    FlowClassifier();

    FlowAction determineNormalFlowAction(const std::string& appId, const std::string& host, bool isUDP) const;
    // The application is always left to the system, whatever it reaches.
    bool declinesEveryFlowOf(const std::string& appId) const;
    // The name is never relayed, whoever reaches it.
    bool declinesFlowsTo(const std::string& hostname) const;
    // The name a TLS ClientHello or an HTTP request carries, from a flow's first bytes.
    static PeekedHostname hostnameInFirstBytes(std::span<const std::uint8_t> bytes);

    // Lower case, without leading or trailing dots: how hosts are compared with the lists.
    static std::string normalisedHost(std::string_view host);

private:
    const std::unordered_set<std::string, CaseInsensitiveHash, CaseInsensitiveEqual> bypassAppIds;
    const std::vector<std::string> hardBypassDomains;
    // Kept with the others as built in, though no decision reads it: video meetings are told apart by
    // udpQuicPolicyDomains, which holds the same entries.
    [[maybe_unused]] const std::vector<std::string> realtimeMediaDomains;
    const std::vector<std::string> udpQuicPolicyDomains;
};

}  // namespace sentorix
