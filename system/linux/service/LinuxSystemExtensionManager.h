#pragma once

#include "OSSystemExtensionRequest.h"
#include "DispatchQueue.h"
#include "NSBundle.h"
#include "SecureDirectory.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sentorix::linux_system {

// Activation copies the extension's bundle out of the application bundle into the state directory,
// where the connection runs it from; deactivation stops it and removes the copy.
class LinuxSystemExtensionManager : public OSSystemExtensionManager,
                                    public std::enable_shared_from_this<LinuxSystemExtensionManager> {
public:
    // Apple's error codes, so callers may compare them.
    static constexpr long UnknownError = 1;
    static constexpr long ExtensionNotFound = 4;
    static constexpr long RequestCanceled = 11;

    LinuxSystemExtensionManager(std::string stateDirectory, std::shared_ptr<NSBundle> application);

    void submitRequest(std::shared_ptr<OSSystemExtensionRequest> request) override;
    // Whether an extension is activated and differs, in any file, from the one in the application bundle
    // (an upgrade, a downgrade or a reinstall brought another): then it is to be activated again.
    bool activatedDiffersFromBundle(const std::string& identifier) const;

private:
    std::shared_ptr<NSBundle> bundledExtension(const std::string& identifier) const;
    using Callback = std::function<void(OSSystemExtensionRequestDelegate&)>;

    // The state directory's SystemExtensions, with the host's operation lock held; fails the request
    // when it cannot be had.
    Result<SecureDirectory> openExtensions(const std::shared_ptr<OSSystemExtensionRequest>& request);
    void activate(const std::shared_ptr<OSSystemExtensionRequest>& request);
    void install(const std::shared_ptr<OSSystemExtensionRequest>& request, const std::string& source);
    void deactivate(const std::shared_ptr<OSSystemExtensionRequest>& request);
    // On the request's queue, if its delegate still exists.
    static void deliver(const std::shared_ptr<OSSystemExtensionRequest>& request, Callback callback);
    static void fail(const std::shared_ptr<OSSystemExtensionRequest>& request, long code, std::string description);
    static void finish(const std::shared_ptr<OSSystemExtensionRequest>& request);

    const std::string stateDirectory_;
    const std::shared_ptr<NSBundle> application_;
    const std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace sentorix::linux_system
