#include "FlowRedirection.h"

#include "PlatformLog.h"
#include "DispatchQueue.h"
#include "KernelFlowRedirection.h"
#include "NftablesFlowRedirection.h"
#include "OSLog.h"

#include <cstdlib>
#include <string_view>

namespace sentorix::linux_system {

asio::ip::tcp::endpoint proxyEndpointOf(const NETransparentProxyNetworkSettings& settings) {
    std::error_code error;
    const auto address = asio::ip::make_address(settings.tunnelRemoteAddress(), error);
    std::uint16_t port = 0;
    for (const auto& rule : settings.excludedNetworkRules.value_or(std::vector<NENetworkRule>{})) {
        if (rule.matchRemoteEndpoint().hostname() == settings.tunnelRemoteAddress()) {
            port = static_cast<std::uint16_t>(std::stoul(rule.matchRemoteEndpoint().port()));
        }
    }
    return asio::ip::tcp::endpoint(error ? asio::ip::address(asio::ip::address_v4::loopback()) : address, port);
}

std::shared_ptr<FlowRedirection> chooseFlowRedirection(FlowRedirection::Reports reports) {
    const OSLog& log = platformLog();
    std::string problem = "SENTORIX_INTERCEPTION=nftables";
    const char* chosen = std::getenv("SENTORIX_INTERCEPTION");
    if (!chosen || std::string_view(chosen) != "nftables") {
        auto kernel = KernelFlowRedirection::load(DispatchQueue::pool().get_executor(), std::move(reports));
        if (kernel) {
            log.info(std::string("Sentorix platform: kernel programs loaded; processes named in "
                                 "this pid namespace ") +
                     ((*kernel)->pidsFromKernel() ? "by the kernel" : "from each task's pid numbers"));
            return std::move(*kernel);
        }
        problem = kernel.error().localizedDescription();
    }
    log.info("Sentorix platform: kernel programs unavailable (" + problem + "); redirecting with nftables");
    return std::make_shared<NftablesFlowRedirection>();
}

}  // namespace sentorix::linux_system
