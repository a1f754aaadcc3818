#pragma once

#include "NEAppProxyTCPFlow.h"

#include "Journal.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sentorix::testing {

// A scripted TCP flow: records every call and keeps each completion until the test runs it, on whichever
// thread the test calls from.
class FakeTCPFlow : public NEAppProxyTCPFlow {
public:
    FakeTCPFlow(std::optional<std::string> appId, std::shared_ptr<NWEndpoint> remote)
        : metaData_{std::move(appId)}, remote_(std::move(remote)) {}
    static std::shared_ptr<FakeTCPFlow> to(std::string host, std::string port,
                                          std::optional<std::string> appId = "com.example.app");

    const NEFlowMetaData& metaData() const override { return metaData_; }
    std::shared_ptr<NWEndpoint> remoteEndpoint() const override { return remote_; }
    const std::string& remoteHostname() const override { return remoteHostname_; }
    // Before the flow is handed to the provider.
    void setRemoteHostname(std::string hostname) { remoteHostname_ = std::move(hostname); }
    void open(std::shared_ptr<NWHostEndpoint> localEndpoint, std::function<void(OptionalError)> completion) override;
    void readData(std::function<void(NSData, OptionalError)> completion) override;
    void write(NSData data, std::function<void(OptionalError)> completion) override;
    void closeReadWithError(OptionalError error) override;
    void closeWriteWithError(OptionalError error) override;
    // Declines, as a platform without a relay of its own would, unless acceptRelay() was called.
    bool relayWith(std::shared_ptr<NWTCPConnection> connection, std::function<void(OptionalError)> completion) override;

    void setJournal(std::shared_ptr<Journal> journal) { journal_ = std::move(journal); }
    // Test side. Each `complete…` runs the oldest pending completion of its kind; false when none waits.
    bool completeOpen(OptionalError error = std::nullopt);
    bool completeRead(NSData data, OptionalError error = std::nullopt);
    bool completeWrite(OptionalError error = std::nullopt);
    void acceptRelay() { acceptsRelay_ = true; }
    bool completeRelay(OptionalError error = std::nullopt);
    std::vector<std::string> calls() const;
    std::vector<NSData> written() const;
    std::optional<OptionalError> closeReadError() const;
    std::optional<OptionalError> closeWriteError() const;
    std::size_t pendingReads() const;

private:
    void recordLocked(std::string call);  // mutex_ held

    const NEFlowMetaData metaData_;
    const std::shared_ptr<NWEndpoint> remote_;
    std::string remoteHostname_;
    std::shared_ptr<Journal> journal_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::function<void(OptionalError)> openCompletion_;
    std::deque<std::function<void(NSData, OptionalError)>> reads_;
    std::deque<std::function<void(OptionalError)>> writes_;
    std::vector<NSData> written_;
    std::optional<OptionalError> closeReadError_;
    std::optional<OptionalError> closeWriteError_;
    std::atomic<bool> acceptsRelay_{false};
    std::function<void(OptionalError)> relayCompletion_;
};

}  // namespace sentorix::testing
