#include "LinuxSystemExtensionManager.h"

#include "ExtensionConnection.h"
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
      queue_(DispatchQueue::create("com.sentorix.systemExtensions", DispatchQueue::Kind::Serial)) {}

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
    deliver(request, [request, error = NSError(OSSystemExtensionErrorDomain, code, std::move(description))](
                         OSSystemExtensionRequestDelegate& delegate) { delegate.didFailWithError(*request, error); });
}

void LinuxSystemExtensionManager::finish(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    deliver(request, [request](OSSystemExtensionRequestDelegate& delegate) {
        delegate.didFinishWithResult(*request, OSSystemExtensionRequestResult::completed);
    });
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
    const fs::path target = StateDirectory::activatedExtensionPath(stateDirectory_, request->identifier);
    const fs::path parent = target.parent_path();
    const std::string suffix = "." + std::to_string(::getpid());
    const fs::path incoming = parent / ("." + target.filename().string() + ".new" + suffix);
    const fs::path outgoing = parent / ("." + target.filename().string() + ".old" + suffix);
    std::error_code error;
    fs::create_directories(parent, error);
    if (!error) {
        fs::remove_all(incoming, error);
    }
    if (!error) {
        fs::copy(source, incoming, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    }
    // The copy is complete before it takes the activated extension's place.
    if (!error && fs::exists(target)) {
        fs::rename(target, outgoing, error);
    }
    if (!error) {
        fs::rename(incoming, target, error);
    }
    if (error) {
        std::error_code ignored;
        fs::remove_all(incoming, ignored);
        fail(request, UnknownError, "Cannot activate " + request->identifier + " in " + parent.string() + ": " +
                                        error.message());
        return;
    }
    fs::remove_all(outgoing, error);
    finish(request);
}

void LinuxSystemExtensionManager::deactivate(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    ExtensionConnection::stopExtension(stateDirectory_);
    std::error_code error;
    fs::remove_all(StateDirectory::activatedExtensionPath(stateDirectory_, request->identifier), error);
    if (error) {
        fail(request, UnknownError, "Cannot deactivate " + request->identifier + ": " + error.message());
        return;
    }
    finish(request);
}

}  // namespace sentorix::linux_system
