#pragma once

#include "ExtensionBundleLookup.h"
#include "HostProcess.h"
#include "OSSystemExtensionRequest.h"
#include "PropertyListValue.h"

#include <memory>

namespace sentorix {

// The application delegate: runs the command-line switches and the system-extension requests they submit.
class AppDelegate : public OSSystemExtensionRequestDelegate, public std::enable_shared_from_this<AppDelegate> {
public:
    static constexpr const char* FallbackExtensionIdentifier = "com.sentorix.desktop.extension";
    static constexpr const char* ServerAddress = "127.0.0.1";
    static constexpr const char* LocalizedDescription = "Sentorix Protect";

    AppDelegate(HostProcess process, std::shared_ptr<NSBundle> applicationBundle);

    void applicationDidFinishLaunching();
    void handleProxyCommand(bool enable);
    void deactivateExtension();
    void startTunnel();

    std::shared_ptr<NSBundle> extensionBundle();
    ProviderConfiguration providerConfiguration() const;

    OSSystemExtensionReplacementAction actionForReplacingExtension(
        const OSSystemExtensionRequest& request, const OSSystemExtensionProperties& existing,
        const OSSystemExtensionProperties& replacement) override;
    void requestNeedsUserApproval(const OSSystemExtensionRequest& request) override;
    void didFailWithError(const OSSystemExtensionRequest& request, const NSError& error) override;
    void didFinishWithResult(const OSSystemExtensionRequest& request, OSSystemExtensionRequestResult result) override;

private:
    void submit(std::shared_ptr<OSSystemExtensionRequest> request);
    void finish(const std::string& line, int status);

    const HostProcess process_;
    ExtensionBundleLookup extensionBundle_;
};

}  // namespace sentorix
