#include "NftablesFlowRedirection.h"

#include "PlatformLog.h"
#include "OSLog.h"

#include <algorithm>

namespace sentorix::linux_system {

Result<void> NftablesFlowRedirection::apply(const NETransparentProxyNetworkSettings& settings,
                                            std::uint16_t listenerPort, bool, const Processes&) {
    {
        std::lock_guard lock(mutex_);
        if (auto applied = rules_.apply(settings, listenerPort, OwnMark); !applied) {
            return applied;
        }
    }
    const auto& included = settings.includedNetworkRules;
    const bool hasUdp = included && std::any_of(included->begin(), included->end(), [](const NENetworkRule& r) {
                            return r.matchProtocol() == NENetworkRuleProtocol::UDP;
                        });
    if (hasUdp && !udpNoted_.exchange(true)) {
        platformLog().info("Sentorix platform: UDP rules are not applied yet; UDP traffic passes untouched");
    }
    return {};
}

void NftablesFlowRedirection::stop() {
    std::lock_guard lock(mutex_);
    rules_.remove();
}

}  // namespace sentorix::linux_system
