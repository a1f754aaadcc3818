#include "ServiceRequests.h"

#include "ConfigurationEntry.h"
#include "ExtensionSupervisor.h"
#include "MainQueue.h"
#include "NETunnelProviderProtocol.h"
#include "OSSystemExtensionRequest.h"
#include "PropertyListFile.h"

#include <algorithm>
#include <future>

namespace sentorix::linux_system {

namespace {

using Dictionary = ControlMessage::Dictionary;

NSError badRequest(const std::string& description) {
    return NSError(ControlMessage::ErrorDomain, ControlMessage::BadRequest, description);
}

// Bundle identifiers name directories in the state directory: nothing but a plain name passes.
bool plainIdentifier(const std::string& identifier) {
    if (identifier.empty() || identifier.size() > 255 || identifier.front() == '.') {
        return false;
    }
    for (const char c : identifier) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '-' || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

Dictionary propertiesEntry(const OSSystemExtensionProperties& properties) {
    return {{"bundleIdentifier", properties.bundleIdentifier},
            {"bundleVersion", properties.bundleVersion},
            {"bundleShortVersion", properties.bundleShortVersion}};
}

// Callbacks run where the manager calls them; the waiting happens in `outcome`.
class InlineQueue : public MainQueue {
public:
    void async(std::function<void()> block) override { block(); }
};

// Carries one request through the manager and waits for its end. The replacement question is
// answered with what the client said, if it said it about the extension now installed; otherwise
// the question is kept for the client and the request cancelled.
class WaitingDelegate : public OSSystemExtensionRequestDelegate {
public:
    WaitingDelegate(std::optional<bool> replace, const Dictionary* agreedExisting)
        : replace_(replace), agreed_(agreedExisting ? std::optional<Dictionary>(*agreedExisting) : std::nullopt) {}
    // Replaces whatever is activated, asking nobody.
    static std::shared_ptr<WaitingDelegate> replacing() {
        auto delegate = std::make_shared<WaitingDelegate>(true, nullptr);
        delegate->always_ = true;
        return delegate;
    }

    OSSystemExtensionReplacementAction actionForReplacingExtension(
        const OSSystemExtensionRequest&, const OSSystemExtensionProperties& existing,
        const OSSystemExtensionProperties& replacement) override {
        if (always_) {
            return OSSystemExtensionReplacementAction::replace;
        }
        if (replace_ && agreed_ && *agreed_ == propertiesEntry(existing)) {
            return *replace_ ? OSSystemExtensionReplacementAction::replace : OSSystemExtensionReplacementAction::cancel;
        }
        question = Dictionary{{"existing", propertiesEntry(existing)}, {"replacement", propertiesEntry(replacement)}};
        return OSSystemExtensionReplacementAction::cancel;
    }
    void requestNeedsUserApproval(const OSSystemExtensionRequest&) override {}
    void didFailWithError(const OSSystemExtensionRequest&, const NSError& failure) override {
        error = failure;
        done_.set_value();
    }
    void didFinishWithResult(const OSSystemExtensionRequest&, OSSystemExtensionRequestResult) override {
        done_.set_value();
    }
    void wait() { done_.get_future().wait(); }

    std::optional<Dictionary> question;
    OptionalError error;

private:
    const std::optional<bool> replace_;
    const std::optional<Dictionary> agreed_;
    bool always_ = false;
    std::promise<void> done_;
};

}  // namespace

ServiceRequests::ServiceRequests(std::string stateDirectory, std::shared_ptr<NSBundle> application,
                                 std::shared_ptr<ExtensionSupervisor> supervisor, Log log)
    : stateDirectory_(std::move(stateDirectory)),
      supervisor_(std::move(supervisor)),
      store_(std::make_shared<ConfigurationFileStore>(stateDirectory_,
                                                      [](const NETransparentProxyManager&) { return nullptr; })),
      extensions_(std::make_shared<LinuxSystemExtensionManager>(stateDirectory_, std::move(application))),
      log_(std::move(log)) {}

Dictionary ServiceRequests::handle(const Dictionary& request) {
    const auto* name = ControlMessage::text(request, "request");
    if (!name) {
        return ControlMessage::failure(badRequest("The request names no operation"));
    }
    if (*name == "loadAll") return loadAll();
    if (*name == "save") return save(request);
    if (*name == "load") return load(request);
    if (*name == "activate") return activate(request);
    if (*name == "deactivate") return deactivate(request);
    if (*name == "start") return start(request);
    if (*name == "stop") return stop();
    return ControlMessage::failure(badRequest("Unknown request \"" + *name + "\""));
}

Dictionary ServiceRequests::loadAll() {
    const auto managers = store_->readAll();
    if (!managers) {
        return ControlMessage::failure(managers.error());
    }
    PropertyListValue::Array entries;
    for (const auto& manager : *managers) {
        entries.emplace_back(ConfigurationEntry::encode(*manager));
    }
    return ControlMessage::success({{"configurations", std::move(entries)}});
}

Dictionary ServiceRequests::save(const Dictionary& request) {
    const auto* entry = ControlMessage::dictionary(request, "configuration");
    if (!entry) {
        return ControlMessage::failure(badRequest("A save needs a configuration"));
    }
    NETransparentProxyManager manager;
    ConfigurationEntry::decode(*entry, manager);
    // Measured as it will be written, and as deep as an answer holds it: the request's own size says little
    // (indentation grows with depth), and every saved configuration must fit in one answer and the file.
    const auto written = PropertyListFile::serialize(
        Dictionary{{"configurations", PropertyListValue::Array{ConfigurationEntry::encode(manager)}}},
        "the configuration");
    if (!written) {
        return ControlMessage::failure(badRequest(written.error().localizedDescription()));
    }
    if (written->size() > ControlMessage::MaxConfigurationBytes) {
        return ControlMessage::failure(badRequest(
            "The configuration would take " + std::to_string(written->size()) + " bytes saved, more than the " +
            std::to_string(ControlMessage::MaxConfigurationBytes) + " the service keeps for one"));
    }
    // Bounded, so that every saved configuration always fits in one answer. A store that cannot be read
    // is the save's to report.
    if (const auto saved = store_->readAll()) {
        const bool replaces = std::any_of(saved->begin(), saved->end(), [&](const auto& existing) {
            return !manager.identifier.empty() && existing->identifier == manager.identifier;
        });
        if (!replaces && saved->size() >= MaxConfigurations) {
            return ControlMessage::failure(badRequest("There are " + std::to_string(saved->size()) +
                                                      " saved configurations already, the most the service keeps"));
        }
    }
    if (const auto stored = store_->write(manager); !stored) {
        return ControlMessage::failure(stored.error());
    }
    return ControlMessage::success({{"identifier", manager.identifier}});
}

Dictionary ServiceRequests::load(const Dictionary& request) {
    const auto* identifier = ControlMessage::text(request, "identifier");
    if (!identifier) {
        return ControlMessage::failure(badRequest("A load needs an identifier"));
    }
    NETransparentProxyManager manager;
    manager.identifier = *identifier;
    if (const auto reloaded = store_->reload(manager); !reloaded) {
        return ControlMessage::failure(reloaded.error());
    }
    return ControlMessage::success({{"configuration", ConfigurationEntry::encode(manager)}});
}

Dictionary ServiceRequests::activate(const Dictionary& request) {
    const auto* identifier = ControlMessage::text(request, "identifier");
    if (!identifier || !plainIdentifier(*identifier)) {
        return ControlMessage::failure(badRequest("An activation needs an extension identifier"));
    }
    std::optional<bool> replace;
    if (const auto found = request.find("replace"); found != request.end() && found->second.get<bool>()) {
        replace = *found->second.get<bool>();
    }
    auto delegate = std::make_shared<WaitingDelegate>(replace, ControlMessage::dictionary(request, "existing"));
    auto submitted = OSSystemExtensionRequest::activationRequest(*identifier, std::make_shared<InlineQueue>());
    submitted->delegate = delegate;
    extensions_->submitRequest(submitted);
    delegate->wait();
    if (delegate->question) {
        return ControlMessage::success({{"question", *delegate->question}});
    }
    if (delegate->error) {
        return ControlMessage::failure(*delegate->error);
    }
    log_("activated " + *identifier);
    return ControlMessage::success();
}

Dictionary ServiceRequests::deactivate(const Dictionary& request) {
    const auto* identifier = ControlMessage::text(request, "identifier");
    if (!identifier || !plainIdentifier(*identifier)) {
        return ControlMessage::failure(badRequest("A deactivation needs an extension identifier"));
    }
    supervisor_->stop();
    auto delegate = std::make_shared<WaitingDelegate>(std::nullopt, nullptr);
    auto submitted = OSSystemExtensionRequest::deactivationRequest(*identifier, std::make_shared<InlineQueue>());
    submitted->delegate = delegate;
    extensions_->submitRequest(submitted);
    delegate->wait();
    if (delegate->error) {
        return ControlMessage::failure(*delegate->error);
    }
    log_("deactivated " + *identifier);
    return ControlMessage::success();
}

Dictionary ServiceRequests::start(const Dictionary& request) {
    const auto* identifier = ControlMessage::text(request, "extension");
    if (!identifier || !plainIdentifier(*identifier)) {
        return ControlMessage::failure(badRequest("A start needs an extension identifier"));
    }
    if (const auto error = refresh(*identifier)) {
        return ControlMessage::failure(*error);
    }
    if (const auto started = supervisor_->start(*identifier); !started) {
        log_("the extension could not be started: " + started.error().localizedDescription());
        return ControlMessage::failure(started.error());
    }
    log_("started " + *identifier);
    return ControlMessage::success();
}

OptionalError ServiceRequests::refresh(const std::string& identifier) {
    if (!extensions_->activatedDiffersFromBundle(identifier)) {
        return std::nullopt;
    }
    // The service's own bundle is the one to run: replaced without asking, as a package upgrade means.
    auto delegate = WaitingDelegate::replacing();
    auto submitted = OSSystemExtensionRequest::activationRequest(identifier, std::make_shared<InlineQueue>());
    submitted->delegate = delegate;
    supervisor_->stop();  // the old copy's process is not left running
    extensions_->submitRequest(submitted);
    delegate->wait();
    if (delegate->error) {
        log_("the activated " + identifier + " differs from the bundle's but cannot be replaced: " +
             delegate->error->localizedDescription());
        return delegate->error;
    }
    log_("activated " + identifier + " again: the activated copy differed from the service's bundle");
    return std::nullopt;
}

Dictionary ServiceRequests::stop() {
    supervisor_->stop();
    log_("stopped the extension");
    return ControlMessage::success();
}

void ServiceRequests::resume() {
    // An unreadable store starts nothing; its next request says why.
    const auto managers = store_->readAll();
    for (const auto& manager : managers ? *managers : NETransparentProxyManager::Managers{}) {
        const auto* tunnel = dynamic_cast<const NETunnelProviderProtocol*>(manager->protocolConfiguration.get());
        if (!manager->isEnabled || !tunnel || !plainIdentifier(tunnel->providerBundleIdentifier)) {
            continue;
        }
        if (const auto failure = refresh(tunnel->providerBundleIdentifier)) {
            log_("the enabled configuration's extension could not be started: " + failure->localizedDescription());
        } else if (const auto started = supervisor_->start(tunnel->providerBundleIdentifier); !started) {
            log_("the enabled configuration's extension could not be started: " +
                 started.error().localizedDescription());
        } else {
            log_("started " + tunnel->providerBundleIdentifier + " for the enabled configuration");
        }
        return;
    }
}

}  // namespace sentorix::linux_system
