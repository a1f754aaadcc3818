#include "app/platform/HostPlatform.h"

#include "ConfigurationFileStore.h"
#include "ExtensionConnection.h"
#include "LinuxSystemExtensionManager.h"
#include "StateDirectory.h"
#include "platform/NETunnelProviderProtocol.h"

namespace sentorix {

void installHostPlatform() {
    const std::string directory = linux_system::StateDirectory::path();
    NEConfigurationStore::setShared(std::make_shared<linux_system::ConfigurationFileStore>(
        directory, [directory](const NETransparentProxyManager& manager) {
            const auto* tunnel = dynamic_cast<const NETunnelProviderProtocol*>(manager.protocolConfiguration.get());
            return linux_system::ExtensionConnection::create(
                directory, tunnel ? tunnel->providerBundleIdentifier : "com.sentorix.desktop.extension");
        }));
    OSSystemExtensionManager::setShared(
        std::make_shared<linux_system::LinuxSystemExtensionManager>(directory, NSBundle::mainBundle()));
}

}  // namespace sentorix
