#pragma once

#include "NWTCPConnection.h"

#include "Journal.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace sentorix::testing {

// A scripted connection to the proxy: the test moves its state (observers hear it on the test's thread),
// and completes reads and writes when it chooses.
class FakeTCPConnection : public NWTCPConnection {
public:
    NWTCPConnectionState state() const override;
    OptionalError error() const override;
    void addObserver(std::weak_ptr<NSKeyValueObserving> observer, const std::string& keyPath) override;
    void removeObserver(NSKeyValueObserving* observer, const std::string& keyPath) override;
    void write(NSData data, std::function<void(OptionalError)> completion) override;
    void writeClose() override;
    void readMinimumLength(std::size_t minimum, std::size_t maximum,
                           std::function<void(NSData, OptionalError)> completion) override;
    void cancel() override;

    // Test side.
    void setJournal(std::shared_ptr<Journal> journal) { journal_ = std::move(journal); }
    void setState(NWTCPConnectionState state, OptionalError error = std::nullopt);
    bool completeRead(NSData data, OptionalError error = std::nullopt);
    bool completeWrite(OptionalError error = std::nullopt);
    std::vector<std::string> calls() const;
    std::vector<NSData> written() const;
    std::size_t observerCount() const;
    std::size_t pendingReads() const;
    std::size_t lastReadMaximum() const;

private:
    void recordLocked(std::string call);  // mutex_ held

    struct Observer {
        std::weak_ptr<NSKeyValueObserving> observer;
        NSKeyValueObserving* raw;
        std::string keyPath;
    };

    std::shared_ptr<Journal> journal_;
    mutable std::mutex mutex_;
    NWTCPConnectionState state_ = NWTCPConnectionState::Connecting;
    OptionalError error_;
    std::vector<Observer> observers_;
    std::deque<std::function<void(NSData, OptionalError)>> reads_;
    std::deque<std::function<void(OptionalError)>> writes_;
    std::vector<NSData> written_;
    std::vector<std::string> calls_;
    std::size_t lastReadMaximum_ = 0;
};

}  // namespace sentorix::testing
