#include "LinuxSystemExtensionManager.h"

#include "ExtensionConnection.h"
#include "HostOperationLock.h"
#include "SecureDirectory.h"
#include "StateDirectory.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace sentorix::linux_system {

namespace fs = std::filesystem;

namespace {

// The same files, links and directories, with the same contents.
bool sameTree(const fs::path& one, const fs::path& other) {
    std::error_code error;
    fs::recursive_directory_iterator a(one, error), b(other, error), end;
    if (error) {
        return false;
    }
    // Both listings sorted: directory order is the file system's own.
    const auto listing = [&](fs::recursive_directory_iterator it, const fs::path& root) {
        std::vector<std::pair<std::string, fs::file_type>> entries;
        for (; !error && it != end; it.increment(error)) {
            entries.emplace_back(fs::relative(it->path(), root).string(), it->symlink_status(error).type());
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    };
    const auto left = listing(std::move(a), one), right = listing(std::move(b), other);
    if (error || left != right) {
        return false;
    }
    for (const auto& [name, type] : left) {
        if (type == fs::file_type::symlink) {
            if (fs::read_symlink(one / name, error) != fs::read_symlink(other / name, error)) {
                return false;
            }
        } else if (type == fs::file_type::regular) {
            std::ifstream x(one / name, std::ios::binary), y(other / name, std::ios::binary);
            if (fs::file_size(one / name, error) != fs::file_size(other / name, error) ||
                !std::equal(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>(),
                            std::istreambuf_iterator<char>(y))) {
                return false;
            }
        }
    }
    return !error;
}

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

Result<SecureDirectory> LinuxSystemExtensionManager::openExtensions(
    const std::shared_ptr<OSSystemExtensionRequest>& request) {
    auto extensions = [&]() -> Result<SecureDirectory> {
        auto state = SecureDirectory::open(stateDirectory_, true);
        if (!state) {
            return state.error();
        }
        if (auto held = HostOperationLock::shared().hold(*state); !held) {
            return held.error();
        }
        return state->openDirectory(StateDirectory::ExtensionsName, true);
    }();
    if (!extensions) {
        fail(request, UnknownError, "Cannot use the state directory: " + extensions.error().localizedDescription());
    }
    return extensions;
}

std::shared_ptr<NSBundle> LinuxSystemExtensionManager::bundledExtension(const std::string& identifier) const {
    const std::string directory = application_ ? application_->bundlePath + "/Contents/Library/SystemExtensions" : "";
    std::error_code error;
    for (fs::directory_iterator entry(directory, error), end; !error && entry != end; entry.increment(error)) {
        auto candidate = NSBundle::bundleWithPath(entry->path().string());
        if (candidate && candidate->bundleIdentifier() == identifier) {
            return candidate;
        }
    }
    return nullptr;
}

bool LinuxSystemExtensionManager::activatedDiffersFromBundle(const std::string& identifier) const {
    const std::string activated = StateDirectory::activatedExtensionPath(stateDirectory_, identifier);
    const auto source = bundledExtension(identifier);
    std::error_code error;
    return source && fs::exists(activated, error) && !sameTree(activated, source->bundlePath);
}

void LinuxSystemExtensionManager::activate(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    const auto source = bundledExtension(request->identifier);
    if (!source) {
        fail(request, ExtensionNotFound,
             "No system extension " + request->identifier + " in " +
                 (application_ ? application_->bundlePath + "/Contents/Library/SystemExtensions" : std::string()));
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
    // Unpredictable names: the copy is complete before it takes the activated extension's place, and
    // copyTreeFrom's mkdirat fails rather than use anything planted under its name.
    const auto incoming = SecureDirectory::randomName("." + target + ".");
    const auto outgoing = incoming ? SecureDirectory::randomName("." + target + ".") : incoming;
    if (!outgoing) {
        fail(request, UnknownError, "Cannot activate " + request->identifier + ": " + outgoing.error().localizedDescription());
        return;
    }
    Result<void> copied = extensions->copyTreeFrom(source, *incoming);
    if (copied && extensions->exists(target)) {
        copied = extensions->rename(target, *outgoing);
    }
    if (copied) {
        copied = extensions->rename(*incoming, target);
    }
    if (!copied) {
        static_cast<void>(extensions->removeTree(*incoming));  // a half copy under a hidden name harms nothing
        fail(request, UnknownError, "Cannot activate " + request->identifier + " in " + extensions->path() + ": " +
                                        copied.error().localizedDescription());
        return;
    }
    extensions->sync();
    // The new one is in place; an old copy that stays is only space, under a hidden name.
    static_cast<void>(extensions->removeTree(*outgoing));
    finish(request);
}

void LinuxSystemExtensionManager::deactivate(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    const auto extensions = openExtensions(request);
    if (!extensions) {
        return;
    }
    ExtensionConnection::stopExtension(stateDirectory_);
    if (auto removed = extensions->removeTree(StateDirectory::activatedExtensionName(request->identifier)); !removed) {
        fail(request, UnknownError, "Cannot deactivate " + request->identifier + ": " + removed.error().localizedDescription());
        return;
    }
    HostOperationLock::shared().release();
    finish(request);
}

}  // namespace sentorix::linux_system
