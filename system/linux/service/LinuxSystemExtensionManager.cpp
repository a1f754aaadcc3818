#include "LinuxSystemExtensionManager.h"

#include "ExtensionConnection.h"
#include "HostOperationLock.h"
#include "SecureDirectory.h"
#include "StateDirectory.h"

#include <unistd.h>

#include <filesystem>

namespace sentorix::linux_system {

namespace fs = std::filesystem;

namespace {

OSSystemExtensionProperties propertiesOf(const NSBundle& bundle) {
    return {bundle.bundleIdentifier().value_or(""), bundle.infoString("CFBundleVersion").value_or(""),
            bundle.infoString("CFBundleShortVersionString").value_or("")};
}

}  // namespace

LinuxSystemExtensionManager::LinuxSystemExtensionManager(std::string stateDirectory,
                                                         std::shared_ptr<NSBundle> application)
    : stateDirectory_(std::move(stateDirectory)),
      application_(std::move(application)),
      queue_(DispatchQueue::create("com.sentorix.systemExtensions", DispatchQueue::Kind::Serial,
                                   DispatchQueue::Work::MayWait)) {}

void LinuxSystemExtensionManager::submitRequest(std::shared_ptr<OSSystemExtensionRequest> request) {
    queue_->async([self = shared_from_this(), request = std::move(request)] {
        if (request->kind == OSSystemExtensionRequest::Kind::activation) {
            self->activate(request);
        } else {
            self->deactivate(request);
        }
    });
}

void LinuxSystemExtensionManager::deliver(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                          Callback callback) {
    request->queue->async([request, callback = std::move(callback)] {
        if (auto delegate = request->delegate.lock()) {
            callback(*delegate);
        }
    });
}

void LinuxSystemExtensionManager::fail(const std::shared_ptr<OSSystemExtensionRequest>& request, long code,
                                       std::string description) {
    // A failed request starts nothing: the next host need not wait for us.
    HostOperationLock::shared().release();
    deliver(request, [request, error = NSError(OSSystemExtensionErrorDomain, code, std::move(description))](
                         OSSystemExtensionRequestDelegate& delegate) { delegate.didFailWithError(*request, error); });
}

void LinuxSystemExtensionManager::finish(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    deliver(request, [request](OSSystemExtensionRequestDelegate& delegate) {
        delegate.didFinishWithResult(*request, OSSystemExtensionRequestResult::completed);
    });
}

std::optional<SecureDirectory> LinuxSystemExtensionManager::openExtensions(
    const std::shared_ptr<OSSystemExtensionRequest>& request) {
    std::string problem;
    auto state = SecureDirectory::open(stateDirectory_, true, problem);
    if (state && HostOperationLock::shared().hold(*state, problem)) {
        if (auto extensions = state->openDirectory(StateDirectory::ExtensionsName, true, problem)) {
            return extensions;
        }
    }
    fail(request, UnknownError, "Cannot use the state directory: " + problem);
    return std::nullopt;
}

void LinuxSystemExtensionManager::activate(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    const std::string directory = application_ ? application_->bundlePath + "/Contents/Library/SystemExtensions" : "";
    std::shared_ptr<NSBundle> source;
    std::error_code error;
    for (fs::directory_iterator entry(directory, error), end; !error && entry != end; entry.increment(error)) {
        auto candidate = NSBundle::bundleWithPath(entry->path().string());
        if (candidate && candidate->bundleIdentifier() == request->identifier) {
            source = std::move(candidate);
            break;
        }
    }
    if (!source) {
        fail(request, ExtensionNotFound, "No system extension " + request->identifier + " in " + directory);
        return;
    }
    const auto extensions = openExtensions(request);
    if (!extensions) {
        return;
    }
    const auto installed =
        NSBundle::bundleWithPath(StateDirectory::activatedExtensionPath(stateDirectory_, request->identifier));
    if (!installed || !installed->bundleIdentifier()) {
        install(request, source->bundlePath);
        return;
    }
    // The delegate answers on its queue; the copy carries on here.
    deliver(request, [self = shared_from_this(), request, existing = propertiesOf(*installed),
                      replacement = propertiesOf(*source), path = source->bundlePath](
                         OSSystemExtensionRequestDelegate& delegate) {
        const auto action = delegate.actionForReplacingExtension(*request, existing, replacement);
        self->queue_->async([self, request, action, path] {
            if (action == OSSystemExtensionReplacementAction::replace) {
                self->install(request, path);
            } else {
                fail(request, RequestCanceled, "The replacement of " + request->identifier + " was canceled");
            }
        });
    });
}

void LinuxSystemExtensionManager::install(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                          const std::string& source) {
    const auto extensions = openExtensions(request);
    if (!extensions) {
        return;
    }
    const std::string target = StateDirectory::activatedExtensionName(request->identifier);
    std::string problem;
    // Unpredictable names: the copy is complete before it takes the activated extension's place, and
    // copyTreeFrom's mkdirat fails rather than use anything planted under its name.
    const auto incoming = SecureDirectory::randomName("." + target + ".", problem);
    const auto outgoing = incoming ? SecureDirectory::randomName("." + target + ".", problem) : std::nullopt;
    if (!outgoing) {
        fail(request, UnknownError, "Cannot activate " + request->identifier + ": " + problem);
        return;
    }
    bool copied = extensions->copyTreeFrom(source, *incoming, problem);
    if (copied && extensions->exists(target)) {
        copied = extensions->rename(target, *outgoing, problem);
    }
    if (copied) {
        copied = extensions->rename(*incoming, target, problem);
    }
    if (!copied) {
        std::string ignored;
        extensions->removeTree(*incoming, ignored);
        fail(request, UnknownError, "Cannot activate " + request->identifier + " in " + extensions->path() + ": " +
                                        problem);
        return;
    }
    extensions->sync();
    extensions->removeTree(*outgoing, problem);
    finish(request);
}

void LinuxSystemExtensionManager::deactivate(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    const auto extensions = openExtensions(request);
    if (!extensions) {
        return;
    }
    ExtensionConnection::stopExtension(stateDirectory_);
    std::string problem;
    if (!extensions->removeTree(StateDirectory::activatedExtensionName(request->identifier), problem)) {
        fail(request, UnknownError, "Cannot deactivate " + request->identifier + ": " + problem);
        return;
    }
    HostOperationLock::shared().release();
    finish(request);
}

}  // namespace sentorix::linux_system
