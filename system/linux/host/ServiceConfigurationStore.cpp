#include "ServiceConfigurationStore.h"

#include "ConfigurationEntry.h"

namespace sentorix::linux_system {

namespace {

using Dictionary = ControlMessage::Dictionary;

NSError malformed() {
    return NSError(ControlMessage::ErrorDomain, ControlMessage::BadRequest,
                   "The service's answer holds no configuration");
}

}  // namespace

ServiceConfigurationStore::ServiceConfigurationStore(ServiceClient client, ConnectionFactory connections)
    : client_(std::move(client)),
      connections_(std::move(connections)),
      queue_(DispatchQueue::create("com.sentorix.configurationStore", DispatchQueue::Kind::Serial,
                                   DispatchQueue::Work::MayWait)) {}

void ServiceConfigurationStore::loadAll(NETransparentProxyManager::LoadAllCompletion completion) {
    queue_->async([client = client_, completion = std::move(completion)] {
        OptionalError error;
        NETransparentProxyManager::Managers managers;
        const auto answer = client.ask({{"request", "loadAll"}});
        if (!answer) {
            error = answer.error();
        } else {
            const auto found = answer->find("configurations");
            const auto* entries = found == answer->end() ? nullptr : found->second.get<PropertyListValue::Array>();
            if (!entries) {
                error = malformed();
            }
            for (const auto& item : entries ? *entries : PropertyListValue::Array{}) {
                if (const auto* entry = item.get<Dictionary>()) {
                    auto manager = std::make_shared<NETransparentProxyManager>();
                    ConfigurationEntry::decode(*entry, *manager);
                    managers.push_back(std::move(manager));
                }
            }
        }
        completion(std::move(managers), error);
    });
}

void ServiceConfigurationStore::save(std::shared_ptr<NETransparentProxyManager> manager,
                                     NETransparentProxyManager::Completion completion) {
    queue_->async([client = client_, manager = std::move(manager), completion = std::move(completion)] {
        const auto answer = client.ask({{"request", "save"}, {"configuration", ConfigurationEntry::encode(*manager)}});
        OptionalError error = answer ? OptionalError() : OptionalError(answer.error());
        if (answer) {
            if (const auto* identifier = ControlMessage::text(*answer, "identifier")) {
                manager->identifier = *identifier;
            } else {
                error = malformed();
            }
        }
        completion(error);
    });
}

void ServiceConfigurationStore::load(std::shared_ptr<NETransparentProxyManager> manager,
                                     NETransparentProxyManager::Completion completion) {
    queue_->async([client = client_, manager = std::move(manager), completion = std::move(completion)] {
        const auto answer = client.ask({{"request", "load"}, {"identifier", manager->identifier}});
        OptionalError error = answer ? OptionalError() : OptionalError(answer.error());
        if (answer) {
            if (const auto* entry = ControlMessage::dictionary(*answer, "configuration")) {
                ConfigurationEntry::decode(*entry, *manager);
            } else {
                error = malformed();
            }
        }
        completion(error);
    });
}

std::shared_ptr<NEVPNConnection> ServiceConfigurationStore::makeConnection(const NETransparentProxyManager& manager) {
    return connections_(manager);
}

}  // namespace sentorix::linux_system
