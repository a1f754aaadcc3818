#pragma once

#include "NWHostEndpoint.h"

namespace sentorix {

enum class NENetworkRuleProtocol { Any, TCP, UDP };

// Selects flows by destination network (address and prefix), port and protocol.
class NENetworkRule {
public:
    NENetworkRule(NWHostEndpoint destinationNetwork, unsigned prefix, NENetworkRuleProtocol protocol)
        : destinationNetwork_(std::move(destinationNetwork)), prefix_(prefix), protocol_(protocol) {}

    const NWHostEndpoint& matchRemoteEndpoint() const { return destinationNetwork_; }
    unsigned matchRemotePrefix() const { return prefix_; }
    NENetworkRuleProtocol matchProtocol() const { return protocol_; }

    bool operator==(const NENetworkRule&) const = default;

private:
    NWHostEndpoint destinationNetwork_;
    unsigned prefix_;
    NENetworkRuleProtocol protocol_;
};

}  // namespace sentorix
