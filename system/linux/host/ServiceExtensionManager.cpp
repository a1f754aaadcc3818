#include "ServiceExtensionManager.h"

namespace sentorix::linux_system {

namespace {

using Dictionary = ControlMessage::Dictionary;

OSSystemExtensionProperties propertiesIn(const Dictionary* entry) {
    const auto field = [entry](const char* key) {
        const auto* value = entry ? ControlMessage::text(*entry, key) : nullptr;
        return value ? *value : std::string();
    };
    return {field("bundleIdentifier"), field("bundleVersion"), field("bundleShortVersion")};
}

void deliver(const std::shared_ptr<OSSystemExtensionRequest>& request,
             std::function<void(OSSystemExtensionRequestDelegate&)> callback) {
    request->queue->async([request, callback = std::move(callback)] {
        if (auto delegate = request->delegate.lock()) {
            callback(*delegate);
        }
    });
}

}  // namespace

ServiceExtensionManager::ServiceExtensionManager(ServiceClient client)
    : client_(std::move(client)),
      queue_(DispatchQueue::create("com.sentorix.systemExtensions", DispatchQueue::Kind::Serial,
                                   DispatchQueue::Work::MayWait)) {}

void ServiceExtensionManager::submitRequest(std::shared_ptr<OSSystemExtensionRequest> request) {
    const bool activation = request->kind == OSSystemExtensionRequest::Kind::activation;
    carryOut(std::move(request), {{"request", activation ? "activate" : "deactivate"}});
}

void ServiceExtensionManager::carryOut(std::shared_ptr<OSSystemExtensionRequest> request, Dictionary asked) {
    queue_->async([self = shared_from_this(), request = std::move(request), asked = std::move(asked)]() mutable {
        asked.insert_or_assign("identifier", request->identifier);
        // Activation copies a bundle and may wait for the extension to stop: allow it time.
        const auto answer = self->client_.ask(asked, std::chrono::seconds(60));
        if (!answer) {
            deliver(request, [request, error = answer.error()](OSSystemExtensionRequestDelegate& delegate) {
                delegate.didFailWithError(*request, error);
            });
            return;
        }
        if (const auto* question = ControlMessage::dictionary(*answer, "question")) {
            const auto* existing = ControlMessage::dictionary(*question, "existing");
            const Dictionary agreed = existing ? *existing : Dictionary{};
            deliver(request, [self, request, agreed, existing = propertiesIn(existing),
                              replacement = propertiesIn(ControlMessage::dictionary(*question, "replacement"))](
                                 OSSystemExtensionRequestDelegate& delegate) {
                const auto action = delegate.actionForReplacingExtension(*request, existing, replacement);
                self->carryOut(request, {{"request", "activate"},
                                   {"replace", action == OSSystemExtensionReplacementAction::replace},
                                   {"existing", agreed}});
            });
            return;
        }
        deliver(request, [request](OSSystemExtensionRequestDelegate& delegate) {
            delegate.didFinishWithResult(*request, OSSystemExtensionRequestResult::completed);
        });
    });
}

}  // namespace sentorix::linux_system
