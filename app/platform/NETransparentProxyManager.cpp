#include "NETransparentProxyManager.h"

#include <mutex>

namespace sentorix {

namespace {
std::mutex storeMutex;
std::shared_ptr<NEConfigurationStore> sharedStore;
}  // namespace

std::shared_ptr<NEConfigurationStore> NEConfigurationStore::shared() {
    std::lock_guard lock(storeMutex);
    return sharedStore;
}

void NEConfigurationStore::setShared(std::shared_ptr<NEConfigurationStore> store) {
    std::lock_guard lock(storeMutex);
    sharedStore = std::move(store);
}

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
