#pragma once

#include "FlowRedirection.h"
#include "NftablesRuleSet.h"

#include <atomic>
#include <mutex>

namespace sentorix::linux_system {

// Redirection by the nftables table, where the kernel programs cannot load: connection tracking keeps
// each connection's destination, and processes are found from the socket afterwards. There is nothing
// to claim, mark or publish, and nobody else can take the table away.
class NftablesFlowRedirection : public FlowRedirection {
public:
    Result<void> apply(const NETransparentProxyNetworkSettings& settings, std::uint16_t listenerPort,
                       bool listenerHasIPv6, const Processes& processes) override;
    void setClaiming(bool) override {}
    std::optional<FlowOrigin> takeOrigin(const asio::ip::tcp::endpoint&) override { return std::nullopt; }
    void markProxyProcess(int) override {}
    void publishDirect(int, std::uint64_t) override {}
    void publishIdentity(const sentorix_identity&, bool) override {}
    Result<void> reassert() override { return {}; }
    void stop() override;

private:
    std::mutex mutex_;  // guards rules_
    NftablesRuleSet rules_;
    std::atomic<bool> udpNoted_{false};
};

}  // namespace sentorix::linux_system
