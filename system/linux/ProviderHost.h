#pragma once

#include "platform/NETunnelProviderProtocol.h"
#include "platform/NSError.h"

#include <memory>
#include <optional>
#include <string>

namespace sentorix::linux_system {

class SecureDirectory;

// The extension process's host: saved configuration and published status.
class ProviderHost {
public:
    static constexpr const char* ExtensionBundleIdentifier = "com.sentorix.desktop.extension";

    // The provider's configuration: the file named by SENTORIX_PROVIDER_CONFIGURATION, else the first
    // enabled saved configuration for this extension, else one made from the environment as the host
    // application makes it.
    static std::shared_ptr<NETunnelProviderProtocol> loadProtocol(const std::string& stateDirectory,
                                                                  OptionalError& error);
    // "status\npid\nlast error\n", replaced atomically.
    static void publishStatus(const SecureDirectory& stateDirectory, const std::string& status,
                              const std::string& lastError = "");
};

}  // namespace sentorix::linux_system
