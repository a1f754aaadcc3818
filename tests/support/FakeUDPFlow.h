#pragma once

#include "NEAppProxyUDPFlow.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sentorix::testing {

// A UDP flow that records the calls the provider makes on it.
class FakeUDPFlow : public NEAppProxyUDPFlow {
public:
    FakeUDPFlow(std::optional<std::string> appId, std::shared_ptr<NWEndpoint> local)
        : metaData_{std::move(appId)}, local_(std::move(local)) {}
    static std::shared_ptr<FakeUDPFlow> to(std::string host, std::string port,
                                          std::optional<std::string> appId = "com.example.app") {
        return std::make_shared<FakeUDPFlow>(std::move(appId),
                                             std::make_shared<NWHostEndpoint>(std::move(host), std::move(port)));
    }

    const NEFlowMetaData& metaData() const override { return metaData_; }
    std::shared_ptr<NWEndpoint> localEndpoint() const override { return local_; }
    void open(std::shared_ptr<NWHostEndpoint>, std::function<void(OptionalError)>) override { record("open"); }
    void closeReadWithError(OptionalError error) override {
        record(error ? "closeRead(error)" : "closeRead");
    }
    void closeWriteWithError(OptionalError error) override {
        record(error ? "closeWrite(error)" : "closeWrite");
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    const NEFlowMetaData metaData_;
    const std::shared_ptr<NWEndpoint> local_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

}  // namespace sentorix::testing
