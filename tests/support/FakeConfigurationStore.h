#pragma once

#include "FakeVPNConnection.h"
#include "NETransparentProxyManager.h"
#include "NETunnelProviderProtocol.h"

#include <mutex>
#include <string>
#include <vector>

namespace sentorix::testing {

// Saved configurations in memory. Completions run at once on the caller's thread; errors are scripted.
// Every configuration shares one connection.
class FakeConfigurationStore : public NEConfigurationStore {
public:
    void loadAll(NETransparentProxyManager::LoadAllCompletion completion) override {
        record("loadAll");
        NETransparentProxyManager::Managers managers;
        for (const auto& saved : saved_) {
            auto manager = std::make_shared<NETransparentProxyManager>();
            copy(*saved, *manager);
            managers.push_back(std::move(manager));
        }
        completion(loadAllError ? NETransparentProxyManager::Managers{} : managers, loadAllError);
    }
    void save(std::shared_ptr<NETransparentProxyManager> manager, NETransparentProxyManager::Completion completion) override {
        record("save");
        if (saveError) {
            completion(saveError);
            return;
        }
        if (manager->identifier.empty()) {
            manager->identifier = "configuration-" + std::to_string(saved_.size() + 1);
        }
        auto& slot = find(manager->identifier);
        copy(*manager, *slot);
        completion(std::nullopt);
    }
    void load(std::shared_ptr<NETransparentProxyManager> manager, NETransparentProxyManager::Completion completion) override {
        record("load");
        if (loadError) {
            completion(loadError);
            return;
        }
        copy(*find(manager->identifier), *manager);
        completion(std::nullopt);
    }
    std::shared_ptr<NEVPNConnection> makeConnection(const NETransparentProxyManager&) override { return connection; }

    // A configuration as saved, or null.
    std::shared_ptr<NETransparentProxyManager> saved(std::size_t index = 0) const {
        return index < saved_.size() ? saved_[index] : nullptr;
    }
    std::size_t savedCount() const { return saved_.size(); }
    void addSaved(const NETransparentProxyManager& manager) {
        auto copyOf = std::make_shared<NETransparentProxyManager>();
        copy(manager, *copyOf);
        if (copyOf->identifier.empty()) {
            copyOf->identifier = "configuration-" + std::to_string(saved_.size() + 1);
        }
        saved_.push_back(copyOf);
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    OptionalError loadAllError;
    OptionalError saveError;
    OptionalError loadError;
    std::shared_ptr<FakeVPNConnection> connection = std::make_shared<FakeVPNConnection>();

private:
    static void copy(const NETransparentProxyManager& from, NETransparentProxyManager& to) {
        to.identifier = from.identifier;
        to.isEnabled = from.isEnabled;
        to.localizedDescription = from.localizedDescription;
        if (const auto* tunnel = dynamic_cast<const NETunnelProviderProtocol*>(from.protocolConfiguration.get())) {
            to.protocolConfiguration = std::make_shared<NETunnelProviderProtocol>(*tunnel);
        } else if (from.protocolConfiguration) {
            to.protocolConfiguration = std::make_shared<NEVPNProtocol>(*from.protocolConfiguration);
        } else {
            to.protocolConfiguration.reset();
        }
    }
    std::shared_ptr<NETransparentProxyManager>& find(const std::string& identifier) {
        for (auto& saved : saved_) {
            if (saved->identifier == identifier) {
                return saved;
            }
        }
        saved_.push_back(std::make_shared<NETransparentProxyManager>());
        return saved_.back();
    }
    void record(const char* call) {
        std::lock_guard lock(mutex_);
        calls_.emplace_back(call);
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<std::shared_ptr<NETransparentProxyManager>> saved_;
};

}  // namespace sentorix::testing
