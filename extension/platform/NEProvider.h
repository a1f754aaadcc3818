#pragma once

#include "NEProviderServices.h"
#include "NETransparentProxyProvider.h"

#include <memory>

namespace sentorix {

class NEProvider {
public:
    // Hands the process to the platform's provider machinery, which builds the provider and runs it.
    static void startSystemExtensionMode();
};

// Parks the calling (main) thread for the life of the process; never returns.
[[noreturn]] void dispatchMain();

// The provider class the platform instantiates, named by the extension itself.
std::shared_ptr<NETransparentProxyProvider> NEProviderPrincipalClass(std::shared_ptr<NEProviderServices> services);

}  // namespace sentorix
