#pragma once

#include "NEVPNConnection.h"
#include "NEVPNProtocol.h"
#include "NSError.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sentorix {

class NEConfigurationStore;

// One of the application's saved transparent-proxy configurations.
class NETransparentProxyManager : public std::enable_shared_from_this<NETransparentProxyManager> {
public:
    using Managers = std::vector<std::shared_ptr<NETransparentProxyManager>>;
    using LoadAllCompletion = std::function<void(Managers, OptionalError)>;
    using Completion = std::function<void(OptionalError)>;

    // Completions run on whatever thread the store uses.
    static void loadAllFromPreferences(LoadAllCompletion completion);
    void saveToPreferences(Completion completion);
    void loadFromPreferences(Completion completion);

    // The same object for the life of this configuration object.
    std::shared_ptr<NEVPNConnection> connection();

    std::shared_ptr<NEVPNProtocol> protocolConfiguration;
    std::optional<std::string> localizedDescription;
    bool isEnabled = false;
    // The store's key; empty until the configuration is first saved.
    std::string identifier;

private:
    std::shared_ptr<NEVPNConnection> connection_;
};

// The preferences behind the configurations: what the platform stores and runs.
class NEConfigurationStore {
public:
    virtual ~NEConfigurationStore() = default;
    virtual void loadAll(NETransparentProxyManager::LoadAllCompletion completion) = 0;
    virtual void save(std::shared_ptr<NETransparentProxyManager> manager,
                      NETransparentProxyManager::Completion completion) = 0;
    virtual void load(std::shared_ptr<NETransparentProxyManager> manager,
                      NETransparentProxyManager::Completion completion) = 0;
    virtual std::shared_ptr<NEVPNConnection> makeConnection(const NETransparentProxyManager& manager) = 0;

    static std::shared_ptr<NEConfigurationStore> shared();
    static void setShared(std::shared_ptr<NEConfigurationStore> store);
};

}  // namespace sentorix
