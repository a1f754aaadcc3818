#pragma once

#include "NETransparentProxyManager.h"
#include "DispatchQueue.h"
#include "ServiceClient.h"

#include <functional>
#include <memory>

namespace sentorix::linux_system {

// The saved configurations, kept by the service: each load and save is a request, made from the
// store's own serial queue, where the completions run too.
class ServiceConfigurationStore : public NEConfigurationStore {
public:
    using ConnectionFactory = std::function<std::shared_ptr<NEVPNConnection>(const NETransparentProxyManager&)>;

    ServiceConfigurationStore(ServiceClient client, ConnectionFactory connections);

    void loadAll(NETransparentProxyManager::LoadAllCompletion completion) override;
    void save(std::shared_ptr<NETransparentProxyManager> manager, NETransparentProxyManager::Completion completion) override;
    void load(std::shared_ptr<NETransparentProxyManager> manager, NETransparentProxyManager::Completion completion) override;
    std::shared_ptr<NEVPNConnection> makeConnection(const NETransparentProxyManager& manager) override;

private:
    const ServiceClient client_;
    const ConnectionFactory connections_;
    const std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace sentorix::linux_system
