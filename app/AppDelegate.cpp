#include "AppDelegate.h"

#include "ProviderConfigurationBuilder.h"
#include "NETransparentProxyManager.h"
#include "NETunnelProviderProtocol.h"

namespace sentorix {

namespace {

std::shared_ptr<NETransparentProxyManager> firstOrNew(const NETransparentProxyManager::Managers& managers) {
    return managers.empty() ? std::make_shared<NETransparentProxyManager>() : managers.front();
}

}  // namespace

AppDelegate::AppDelegate(HostProcess process, std::shared_ptr<NSBundle> applicationBundle)
    : process_(std::move(process)),
      extensionBundle_(std::move(applicationBundle), process_.fatal, ExtensionBundleLookup::Messages::commandLine) {}

void AppDelegate::applicationDidFinishLaunching() {
    if (process_.hasArgument("--start-proxy")) {
        handleProxyCommand(true);
    } else if (process_.hasArgument("--stop-proxy")) {
        handleProxyCommand(false);
    } else if (process_.hasArgument("--deactivate-extension")) {
        deactivateExtension();
    }
}

std::shared_ptr<NSBundle> AppDelegate::extensionBundle() { return extensionBundle_.bundle(); }

ProviderConfiguration AppDelegate::providerConfiguration() const {
    return ProviderConfigurationBuilder::build(process_);
}

void AppDelegate::finish(const std::string& line, int status) {
    process_.printLine(line);
    process_.exit(status);
}

void AppDelegate::submit(std::shared_ptr<OSSystemExtensionRequest> request) {
    request->delegate = weak_from_this();
    OSSystemExtensionManager::sharedManager()->submitRequest(std::move(request));
}

void AppDelegate::handleProxyCommand(bool enable) {
    auto self = shared_from_this();
    if (enable) {
        // Refused before anything is activated or saved.
        if (const auto problem = ProviderConfigurationBuilder::problem(process_)) {
            finish("Error: " + *problem, 1);
            return;
        }
        NETransparentProxyManager::loadAllFromPreferences([self](NETransparentProxyManager::Managers, OptionalError) {
            const auto bundle = self->extensionBundle();
            const auto identifier = bundle ? bundle->bundleIdentifier() : std::nullopt;
            if (!identifier) {
                self->finish("Error: Could not find extension bundle identifier", 1);
                return;
            }
            self->submit(OSSystemExtensionRequest::activationRequest(*identifier, MainQueue::main()));
        });
        return;
    }
    NETransparentProxyManager::loadAllFromPreferences([self](NETransparentProxyManager::Managers managers, OptionalError) {
        auto manager = firstOrNew(managers);
        manager->connection()->stopVPNTunnel();
        manager->isEnabled = false;
        manager->saveToPreferences([self](OptionalError error) {
            if (error) {
                self->finish("Error saving preferences (disable): " + error->description(), 1);
            } else {
                self->finish("Proxy stopped", 0);
            }
        });
    });
}

void AppDelegate::deactivateExtension() {
    const auto bundle = extensionBundle();
    const auto identifier = bundle ? bundle->bundleIdentifier() : std::nullopt;
    if (!identifier) {
        finish("Error: Could not find extension bundle identifier", 1);
        return;
    }
    submit(OSSystemExtensionRequest::deactivationRequest(*identifier, MainQueue::main()));
}

void AppDelegate::startTunnel() {
    auto self = shared_from_this();
    NETransparentProxyManager::loadAllFromPreferences([self](NETransparentProxyManager::Managers managers, OptionalError) {
        auto manager = firstOrNew(managers);
        if (manager->protocolConfiguration) {
            if (auto tunnel = std::dynamic_pointer_cast<NETunnelProviderProtocol>(manager->protocolConfiguration)) {
                tunnel->providerConfiguration = self->providerConfiguration();
                manager->protocolConfiguration = tunnel;
            }
        } else {
            auto tunnel = std::make_shared<NETunnelProviderProtocol>();
            const auto bundle = self->extensionBundle();
            tunnel->providerBundleIdentifier =
                (bundle ? bundle->bundleIdentifier() : std::nullopt).value_or(FallbackExtensionIdentifier);
            tunnel->serverAddress = ServerAddress;
            tunnel->providerConfiguration = self->providerConfiguration();
            manager->protocolConfiguration = tunnel;
            manager->localizedDescription = LocalizedDescription;
        }
        manager->isEnabled = true;
        manager->saveToPreferences([self, manager](OptionalError error) {
            if (error) {
                self->finish("Error saving preferences: " + error->description(), 1);
                return;
            }
            manager->loadFromPreferences([self, manager](OptionalError) {
                if (const auto startError = manager->connection()->startVPNTunnel()) {
                    self->finish("Error starting tunnel: " + startError->localizedDescription(), 1);
                } else {
                    self->finish("Proxy started", 0);
                }
            });
        });
    });
}

OSSystemExtensionReplacementAction AppDelegate::actionForReplacingExtension(const OSSystemExtensionRequest&,
                                                                            const OSSystemExtensionProperties&,
                                                                            const OSSystemExtensionProperties&) {
    return OSSystemExtensionReplacementAction::replace;
}

void AppDelegate::requestNeedsUserApproval(const OSSystemExtensionRequest& request) {
    process_.printLine("Extension " + request.identifier + " requires user approval");
}

void AppDelegate::didFailWithError(const OSSystemExtensionRequest&, const NSError& error) {
    finish("System extension request failed: " + error.localizedDescription(), 1);
}

void AppDelegate::didFinishWithResult(const OSSystemExtensionRequest&, OSSystemExtensionRequestResult result) {
    if (result != OSSystemExtensionRequestResult::completed) {
        finish("Unexpected result " + std::to_string(static_cast<long>(result)) + " for system extension request", 1);
        return;
    }
    if (process_.hasArgument("--deactivate-extension")) {
        finish("Extension deactivated", 0);
        return;
    }
    startTunnel();
}

}  // namespace sentorix
