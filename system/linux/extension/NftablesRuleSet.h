#pragma once

#include "NETransparentProxyNetworkSettings.h"
#include "NSError.h"
#include "Result.h"

#include <cstdint>
#include <memory>
#include <string>

struct nft_ctx;

namespace sentorix::linux_system {

// The settings' rules as the owner table `inet sentorix`: the kernel deletes it when this object's
// netlink socket closes, so a dead extension leaves no redirect behind.
class NftablesRuleSet {
public:
    static constexpr const char* TableName = "sentorix";

    NftablesRuleSet();
    ~NftablesRuleSet();
    NftablesRuleSet(const NftablesRuleSet&) = delete;
    NftablesRuleSet& operator=(const NftablesRuleSet&) = delete;

    // Replaces the table: our own marked sockets return, excluded TCP rules return, included TCP rules
    // redirect to the interception port. UDP rules are not applied yet.
    Result<void> apply(const NETransparentProxyNetworkSettings& settings, std::uint16_t interceptionPort,
                       std::uint32_t ownMark);
    void remove();

    // The nft script `apply` runs; public so that it can be read in tests and logs.
    static std::string script(const NETransparentProxyNetworkSettings& settings, std::uint16_t interceptionPort,
                              std::uint32_t ownMark, bool replacing);

private:
    Result<void> run(const std::string& commands);

    nft_ctx* context_ = nullptr;
    bool applied_ = false;
};

}  // namespace sentorix::linux_system
