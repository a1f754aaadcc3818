#include "ConfigurationFileStore.h"

#include "ConfigurationEntry.h"
#include "ConfigurationFile.h"
#include "HostOperationLock.h"
#include "SecureDirectory.h"
#include "StateDirectory.h"
#include "UniqueFd.h"
#include "NSUUID.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cstring>

namespace sentorix::linux_system {

namespace {

using Dictionary = PropertyListValue::Dictionary;

const std::string* text(const Dictionary& dictionary, const char* key) { return ConfigurationEntry::text(dictionary, key); }

PropertyListValue encode(const NETransparentProxyManager& manager) { return ConfigurationEntry::encode(manager); }

void decode(const Dictionary& entry, NETransparentProxyManager& manager) { ConfigurationEntry::decode(entry, manager); }

NSError readWriteError(const std::string& description) {
    return NSError(ConfigurationFileStore::ErrorDomain, ConfigurationFileStore::ConfigurationReadWriteFailed,
                   description);
}

// The store's errors are the configuration manager's, with the ring's text.
NSError readWriteError(const NSError& cause) { return readWriteError(cause.localizedDescription()); }

Result<PropertyListValue::Array> readEntries(const std::string& directory) {
    auto entries = ConfigurationFile::read(directory);
    if (!entries) {
        return readWriteError(entries.error());
    }
    return entries;
}

Result<void> replaceEntries(const SecureDirectory& state, const PropertyListValue::Array& entries) {
    if (auto replaced = ConfigurationFile::replace(state, entries); !replaced) {
        return readWriteError(replaced.error());
    }
    return {};
}

}  // namespace

ConfigurationFileStore::ConfigurationFileStore(std::string stateDirectory, ConnectionFactory connections)
    : directory_(std::move(stateDirectory)),
      connections_(std::move(connections)),
      queue_(DispatchQueue::create("com.sentorix.configurationStore", DispatchQueue::Kind::Serial,
                                   DispatchQueue::Work::MayWait)) {}

Result<NETransparentProxyManager::Managers> ConfigurationFileStore::readAll() const {
    const auto entries = readEntries(directory_);
    if (!entries) {
        return entries.error();
    }
    NETransparentProxyManager::Managers managers;
    for (const auto& item : *entries) {
        if (const auto* entry = item.get<Dictionary>()) {
            auto manager = std::make_shared<NETransparentProxyManager>();
            decode(*entry, *manager);
            managers.push_back(std::move(manager));
        }
    }
    return managers;
}

Result<void> ConfigurationFileStore::write(NETransparentProxyManager& manager) const {
    const auto state = SecureDirectory::open(directory_, true);
    if (!state) {
        return readWriteError(state.error());
    }
    const auto lock = state->openFile(StateDirectory::ConfigurationsLockName, O_RDWR | O_CREAT);
    if (!lock) {
        return readWriteError(lock.error());
    }
    // Held until `lock` closes. Readers need no lock: the file is only ever replaced whole.
    while (::flock(lock->get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    // A file that cannot be read is left alone rather than replaced by this one configuration.
    auto entries = readEntries(directory_);
    if (!entries) {
        return entries.error();
    }
    const bool isNew = manager.identifier.empty();
    const std::string identifier = isNew ? NSUUID::UUIDString() : manager.identifier;
    NETransparentProxyManager saved;
    saved.identifier = identifier;
    saved.isEnabled = manager.isEnabled;
    saved.localizedDescription = manager.localizedDescription;
    saved.protocolConfiguration = manager.protocolConfiguration;
    bool replaced = false;
    for (auto& item : *entries) {
        const auto* entry = item.get<Dictionary>();
        const auto* key = entry ? text(*entry, "identifier") : nullptr;
        if (key && *key == identifier) {
            item = encode(saved);
            replaced = true;
            break;
        }
    }
    if (!replaced) {
        entries->push_back(encode(saved));
    }
    if (auto replaced = replaceEntries(*state, *entries); !replaced) {
        return replaced;
    }
    manager.identifier = identifier;
    return {};
}

Result<void> ConfigurationFileStore::reload(NETransparentProxyManager& manager) const {
    const auto entries = readEntries(directory_);
    if (!entries) {
        return entries.error();
    }
    for (const auto& item : *entries) {
        const auto* entry = item.get<Dictionary>();
        const auto* key = entry ? text(*entry, "identifier") : nullptr;
        if (key && !manager.identifier.empty() && *key == manager.identifier) {
            decode(*entry, manager);
            return {};
        }
    }
    return NSError(ErrorDomain, ConfigurationStale, "The configuration is not saved");
}

void ConfigurationFileStore::loadAll(NETransparentProxyManager::LoadAllCompletion completion) {
    queue_->async([self = shared_from_this(), completion = std::move(completion)] {
        auto managers = self->readAll();
        if (!managers) {
            HostOperationLock::shared().release();  // no start follows an unreadable store
            completion({}, managers.error());
            return;
        }
        completion(std::move(*managers), std::nullopt);
    });
}

void ConfigurationFileStore::save(std::shared_ptr<NETransparentProxyManager> manager,
                                  NETransparentProxyManager::Completion completion) {
    queue_->async([self = shared_from_this(), manager = std::move(manager), completion = std::move(completion)] {
        const auto written = self->write(*manager);
        if (!written) {
            HostOperationLock::shared().release();  // no start follows a failed save
        }
        completion(written.optionalError());
    });
}

void ConfigurationFileStore::load(std::shared_ptr<NETransparentProxyManager> manager,
                                  NETransparentProxyManager::Completion completion) {
    queue_->async([self = shared_from_this(), manager = std::move(manager), completion = std::move(completion)] {
        const auto reloaded = self->reload(*manager);
        if (!reloaded) {
            HostOperationLock::shared().release();  // no start follows a failed reload
        }
        completion(reloaded.optionalError());
    });
}

std::shared_ptr<NEVPNConnection> ConfigurationFileStore::makeConnection(const NETransparentProxyManager& manager) {
    return connections_(manager);
}

}  // namespace sentorix::linux_system
