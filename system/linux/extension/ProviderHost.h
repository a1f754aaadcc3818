#pragma once

#include "Result.h"

#include "NEProviderServices.h"
#include "NETransparentProxyProvider.h"
#include "NETunnelProviderProtocol.h"
#include "NSError.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sentorix::linux_system {

class SecureDirectory;

// The extension process's host: reads the state directory and the saved configuration, builds the
// one provider with the principal class it is given, starts it, publishes its status and stops it on
// SIGTERM or SIGINT.
class ProviderHost {
public:
    using PrincipalClass =
        std::function<std::shared_ptr<NETransparentProxyProvider>(std::shared_ptr<NEProviderServices>)>;

    // Returns once the provider is starting; the process then belongs to the provider's queues.
    static void start(const PrincipalClass& principalClass);

    static constexpr const char* ExtensionBundleIdentifier = "com.sentorix.desktop.extension";

    // The provider's configuration: the file named by SENTORIX_PROVIDER_CONFIGURATION, else the first
    // enabled saved configuration for this extension, else one made from the environment as the host
    // application makes it.
    static Result<std::shared_ptr<NETunnelProviderProtocol>> loadProtocol(const std::string& stateDirectory);
    // "status\npid\nlast error\n", replaced atomically.
    static void publishStatus(const SecureDirectory& stateDirectory, const std::string& status,
                              const std::string& lastError = "");
};

}  // namespace sentorix::linux_system
