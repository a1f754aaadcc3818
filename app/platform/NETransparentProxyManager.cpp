#include "NETransparentProxyManager.h"

#include "ProcessWide.h"

namespace sentorix {

namespace {
ProcessWide<NEConfigurationStore> sharedStore;
}  // namespace

std::shared_ptr<NEConfigurationStore> NEConfigurationStore::shared() { return sharedStore.get(); }
void NEConfigurationStore::setShared(std::shared_ptr<NEConfigurationStore> store) { sharedStore.set(std::move(store)); }

void NETransparentProxyManager::loadAllFromPreferences(LoadAllCompletion completion) {
    NEConfigurationStore::shared()->loadAll(std::move(completion));
}

void NETransparentProxyManager::saveToPreferences(Completion completion) {
    NEConfigurationStore::shared()->save(shared_from_this(), std::move(completion));
}

void NETransparentProxyManager::loadFromPreferences(Completion completion) {
    NEConfigurationStore::shared()->load(shared_from_this(), std::move(completion));
}

std::shared_ptr<NEVPNConnection> NETransparentProxyManager::connection() {
    if (!connection_) {
        connection_ = NEConfigurationStore::shared()->makeConnection(*this);
    }
    return connection_;
}

}  // namespace sentorix
