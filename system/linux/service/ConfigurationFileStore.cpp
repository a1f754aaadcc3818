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

std::optional<PropertyListValue::Array> readEntries(const std::string& directory, OptionalError& error) {
    auto entries = ConfigurationFile::read(directory);
    if (!entries) {
        error = readWriteError(entries.error());
        return std::nullopt;
    }
    return std::move(*entries);
}

bool replaceEntries(const SecureDirectory& state, const PropertyListValue::Array& entries, OptionalError& error) {
    if (auto replaced = ConfigurationFile::replace(state, entries); !replaced) {
        error = readWriteError(replaced.error());
        return false;
    }
    return true;
}

}  // namespace

ConfigurationFileStore::ConfigurationFileStore(std::string stateDirectory, ConnectionFactory connections)
    : directory_(std::move(stateDirectory)),
      connections_(std::move(connections)),
      queue_(DispatchQueue::create("com.sentorix.configurationStore", DispatchQueue::Kind::Serial,
                                   DispatchQueue::Work::MayWait)) {}

NETransparentProxyManager::Managers ConfigurationFileStore::readAll(OptionalError& error) const {
    NETransparentProxyManager::Managers managers;
    const auto entries = readEntries(directory_, error);
    for (const auto& item : entries ? *entries : PropertyListValue::Array{}) {
        if (const auto* entry = item.get<Dictionary>()) {
            auto manager = std::make_shared<NETransparentProxyManager>();
            decode(*entry, *manager);
            managers.push_back(std::move(manager));
        }
    }
    return managers;
}

bool ConfigurationFileStore::write(NETransparentProxyManager& manager, OptionalError& error) const {
    const auto state = SecureDirectory::open(directory_, true);
    if (!state) {
        error = readWriteError(state.error());
        return false;
    }
    const auto lock = state->openFile(StateDirectory::ConfigurationsLockName, O_RDWR | O_CREAT);
    if (!lock) {
        error = readWriteError(lock.error());
        return false;
    }
    // Held until `lock` closes. Readers need no lock: the file is only ever replaced whole.
    while (::flock(lock->get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    // A file that cannot be read is left alone rather than replaced by this one configuration.
    auto entries = readEntries(directory_, error);
    if (!entries) {
        return false;
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
    if (!replaceEntries(*state, *entries, error)) {
        return false;
    }
    manager.identifier = identifier;
    return true;
}

bool ConfigurationFileStore::reload(NETransparentProxyManager& manager, OptionalError& error) const {
    const auto entries = readEntries(directory_, error);
    if (!entries) {
        return false;
    }
    for (const auto& item : *entries) {
        const auto* entry = item.get<Dictionary>();
        const auto* key = entry ? text(*entry, "identifier") : nullptr;
        if (key && !manager.identifier.empty() && *key == manager.identifier) {
            decode(*entry, manager);
            return true;
        }
    }
    error = NSError(ErrorDomain, ConfigurationStale, "The configuration is not saved");
    return false;
}

void ConfigurationFileStore::loadAll(NETransparentProxyManager::LoadAllCompletion completion) {
    queue_->async([self = shared_from_this(), completion = std::move(completion)] {
        OptionalError error;
        auto managers = self->readAll(error);
        if (error) {
            HostOperationLock::shared().release();  // no start follows an unreadable store
        }
        completion(std::move(managers), error);
    });
}

void ConfigurationFileStore::save(std::shared_ptr<NETransparentProxyManager> manager,
                                  NETransparentProxyManager::Completion completion) {
    queue_->async([self = shared_from_this(), manager = std::move(manager), completion = std::move(completion)] {
        OptionalError error;
        if (!self->write(*manager, error)) {
            HostOperationLock::shared().release();  // no start follows a failed save
        }
        completion(error);
    });
}

void ConfigurationFileStore::load(std::shared_ptr<NETransparentProxyManager> manager,
                                  NETransparentProxyManager::Completion completion) {
    queue_->async([self = shared_from_this(), manager = std::move(manager), completion = std::move(completion)] {
        OptionalError error;
        if (!self->reload(*manager, error)) {
            HostOperationLock::shared().release();  // no start follows a failed reload
        }
        completion(error);
    });
}

std::shared_ptr<NEVPNConnection> ConfigurationFileStore::makeConnection(const NETransparentProxyManager& manager) {
    return connections_(manager);
}

}  // namespace sentorix::linux_system
