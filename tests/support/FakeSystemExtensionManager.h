#pragma once

#include "OSSystemExtensionRequest.h"

#include <functional>
#include <mutex>
#include <vector>

namespace sentorix::testing {

// Keeps submitted requests; the test answers them through their delegates, on their queues.
class FakeSystemExtensionManager : public OSSystemExtensionManager {
public:
    void submitRequest(std::shared_ptr<OSSystemExtensionRequest> request) override {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
    }
    std::vector<std::shared_ptr<OSSystemExtensionRequest>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::shared_ptr<OSSystemExtensionRequest> last() const {
        std::lock_guard lock(mutex_);
        return requests_.empty() ? nullptr : requests_.back();
    }
    // Delivers a callback of the last request on its queue.
    void answer(std::function<void(OSSystemExtensionRequestDelegate&, const OSSystemExtensionRequest&)> callback) {
        auto request = last();
        request->queue->async([request, callback = std::move(callback)] {
            if (auto delegate = request->delegate.lock()) {
                callback(*delegate, *request);
            }
        });
    }
    void finish(OSSystemExtensionRequestResult result = OSSystemExtensionRequestResult::completed) {
        answer([result](auto& delegate, auto& request) { delegate.didFinishWithResult(request, result); });
    }
    void failWith(NSError error) {
        answer([error](auto& delegate, auto& request) { delegate.didFailWithError(request, error); });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<OSSystemExtensionRequest>> requests_;
};

}  // namespace sentorix::testing
