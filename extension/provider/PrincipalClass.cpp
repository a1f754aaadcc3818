#include "PacketTunnelProvider.h"
#include "platform/NEProvider.h"

namespace sentorix {

std::shared_ptr<NETransparentProxyProvider> NEProviderPrincipalClass(std::shared_ptr<NEProviderServices> services) {
    return std::make_shared<PacketTunnelProvider>(std::move(services));
}

}  // namespace sentorix
