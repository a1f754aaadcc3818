#pragma once

#include "NETransparentProxyManager.h"
#include "DispatchQueue.h"
#include "Result.h"

#include <functional>
#include <memory>
#include <string>

namespace sentorix::linux_system {

// The saved proxy configurations: one property-list file in the state directory, an array of
// dictionaries. Every save is a locked read-modify-write that replaces the file atomically, so
// neither a crash nor a second process saving at once tears it or loses the other's configuration.
class ConfigurationFileStore : public NEConfigurationStore,
                               public std::enable_shared_from_this<ConfigurationFileStore> {
public:
    using ConnectionFactory = std::function<std::shared_ptr<NEVPNConnection>(const NETransparentProxyManager&)>;

    ConfigurationFileStore(std::string stateDirectory, ConnectionFactory connections);

    // The synchronous work, on the caller's thread. A missing file holds no configurations.
    Result<NETransparentProxyManager::Managers> readAll() const;
    // Gives an unsaved configuration its identifier.
    Result<void> write(NETransparentProxyManager& manager) const;
    Result<void> reload(NETransparentProxyManager& manager) const;

    // Completions run on the store's own serial queue.
    void loadAll(NETransparentProxyManager::LoadAllCompletion completion) override;
    void save(std::shared_ptr<NETransparentProxyManager> manager, NETransparentProxyManager::Completion completion) override;
    void load(std::shared_ptr<NETransparentProxyManager> manager, NETransparentProxyManager::Completion completion) override;
    std::shared_ptr<NEVPNConnection> makeConnection(const NETransparentProxyManager& manager) override;

    static constexpr const char* ErrorDomain = "NEVPNErrorDomain";
    static constexpr long ConfigurationStale = 4;
    static constexpr long ConfigurationReadWriteFailed = 5;

private:
    const std::string directory_;
    const ConnectionFactory connections_;
    const std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace sentorix::linux_system
