#pragma once

#include "MainQueue.h"
#include "NSError.h"

#include <memory>
#include <string>

namespace sentorix {

inline constexpr const char* OSSystemExtensionErrorDomain = "OSSystemExtensionErrorDomain";

enum class OSSystemExtensionRequestResult : long {
    completed = 0,
    willCompleteAfterReboot = 1,
};

enum class OSSystemExtensionReplacementAction : int {
    cancel = 0,
    replace = 1,
};

// What the platform knows of an extension, installed or about to be.
struct OSSystemExtensionProperties {
    std::string bundleIdentifier;
    std::string bundleVersion;
    std::string bundleShortVersion;
};

class OSSystemExtensionRequest;

// The callbacks of a request, delivered on the request's queue.
class OSSystemExtensionRequestDelegate {
public:
    virtual ~OSSystemExtensionRequestDelegate() = default;
    virtual OSSystemExtensionReplacementAction actionForReplacingExtension(
        const OSSystemExtensionRequest& request, const OSSystemExtensionProperties& existing,
        const OSSystemExtensionProperties& replacement) = 0;
    virtual void requestNeedsUserApproval(const OSSystemExtensionRequest& request) = 0;
    virtual void didFailWithError(const OSSystemExtensionRequest& request, const NSError& error) = 0;
    virtual void didFinishWithResult(const OSSystemExtensionRequest& request,
                                     OSSystemExtensionRequestResult result) = 0;
};

// A request to activate or deactivate the extension with an identifier.
class OSSystemExtensionRequest {
public:
    enum class Kind { activation, deactivation };

    static std::shared_ptr<OSSystemExtensionRequest> activationRequest(std::string identifier,
                                                                       std::shared_ptr<MainQueue> queue);
    static std::shared_ptr<OSSystemExtensionRequest> deactivationRequest(std::string identifier,
                                                                         std::shared_ptr<MainQueue> queue);

    OSSystemExtensionRequest(Kind kind, std::string identifier, std::shared_ptr<MainQueue> queue)
        : kind(kind), identifier(std::move(identifier)), queue(std::move(queue)) {}

    const Kind kind;
    const std::string identifier;
    const std::shared_ptr<MainQueue> queue;
    // Held weakly, as the platform does: a gone delegate hears nothing.
    std::weak_ptr<OSSystemExtensionRequestDelegate> delegate;
};

// Carries requests out; the platform has one.
class OSSystemExtensionManager {
public:
    virtual ~OSSystemExtensionManager() = default;
    virtual void submitRequest(std::shared_ptr<OSSystemExtensionRequest> request) = 0;

    static std::shared_ptr<OSSystemExtensionManager> sharedManager();
    static void setShared(std::shared_ptr<OSSystemExtensionManager> manager);
};

}  // namespace sentorix
