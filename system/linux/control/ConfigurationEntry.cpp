#include "ConfigurationEntry.h"

#include "NETunnelProviderProtocol.h"

namespace sentorix::linux_system {

using Dictionary = PropertyListValue::Dictionary;

const std::string* ConfigurationEntry::text(const Dictionary& dictionary, const char* key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : found->second.get<std::string>();
}

Dictionary ConfigurationEntry::encode(const NETransparentProxyManager& manager) {
    Dictionary entry{{"identifier", manager.identifier}, {"enabled", manager.isEnabled}};
    if (manager.localizedDescription) {
        entry.emplace("localizedDescription", *manager.localizedDescription);
    }
    if (const auto& protocol = manager.protocolConfiguration) {
        Dictionary fields{{"serverAddress", protocol->serverAddress}};
        if (const auto* tunnel = dynamic_cast<const NETunnelProviderProtocol*>(protocol.get())) {
            fields.emplace("providerBundleIdentifier", tunnel->providerBundleIdentifier);
            if (tunnel->providerConfiguration) {
                fields.emplace("providerConfiguration", *tunnel->providerConfiguration);
            }
        }
        entry.emplace("protocol", std::move(fields));
    }
    return entry;
}

void ConfigurationEntry::decode(const Dictionary& entry, NETransparentProxyManager& manager) {
    const auto* identifier = text(entry, "identifier");
    manager.identifier = identifier ? *identifier : "";
    const auto enabled = entry.find("enabled");
    manager.isEnabled = enabled != entry.end() && enabled->second.get<bool>() && *enabled->second.get<bool>();
    const auto* description = text(entry, "localizedDescription");
    manager.localizedDescription = description ? std::optional<std::string>(*description) : std::nullopt;
    manager.protocolConfiguration.reset();
    const auto protocol = entry.find("protocol");
    const auto* fields = protocol == entry.end() ? nullptr : protocol->second.get<Dictionary>();
    if (!fields) {
        return;
    }
    std::shared_ptr<NEVPNProtocol> decoded;
    if (const auto* bundle = text(*fields, "providerBundleIdentifier")) {
        auto tunnel = std::make_shared<NETunnelProviderProtocol>();
        tunnel->providerBundleIdentifier = *bundle;
        if (const auto values = fields->find("providerConfiguration"); values != fields->end()) {
            if (const auto* dictionary = values->second.get<Dictionary>()) {
                tunnel->providerConfiguration = *dictionary;
            }
        }
        decoded = tunnel;
    } else {
        decoded = std::make_shared<NEVPNProtocol>();
    }
    if (const auto* server = text(*fields, "serverAddress")) {
        decoded->serverAddress = *server;
    }
    manager.protocolConfiguration = decoded;
}

}  // namespace sentorix::linux_system
