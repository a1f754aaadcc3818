#pragma once

#include "NEProviderServices.h"
#include "NETransparentProxyProvider.h"

#include <functional>
#include <memory>

namespace sentorix {

class NEProvider {
public:
    using SystemExtensionMode = std::function<void()>;

    // Hands the process to the platform's provider machinery, which builds the provider and runs it.
    static void startSystemExtensionMode();
    // That machinery; the program's composition root installs it.
    static void setSystemExtensionMode(SystemExtensionMode mode);
};

// Parks the calling (main) thread for the life of the process; never returns.
[[noreturn]] void dispatchMain();

// The provider class the platform instantiates, named by the extension itself (its composition
// root hands it to the platform).
std::shared_ptr<NETransparentProxyProvider> NEProviderPrincipalClass(std::shared_ptr<NEProviderServices> services);

}  // namespace sentorix
