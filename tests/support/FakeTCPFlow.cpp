#include "FakeTCPFlow.h"

#include <utility>

namespace sentorix::testing {

std::shared_ptr<FakeTCPFlow> FakeTCPFlow::to(std::string host, std::string port, std::optional<std::string> appId) {
    return std::make_shared<FakeTCPFlow>(std::move(appId),
                                         std::make_shared<NWHostEndpoint>(std::move(host), std::move(port)));
}

void FakeTCPFlow::recordLocked(std::string call) {
    if (journal_) {
        journal_->add("flow." + call);
    }
    calls_.push_back(std::move(call));
}

void FakeTCPFlow::open(std::shared_ptr<NWHostEndpoint> localEndpoint, std::function<void(OptionalError)> completion) {
    std::lock_guard lock(mutex_);
    recordLocked(localEndpoint ? "open(endpoint)" : "open");
    openCompletion_ = std::move(completion);
}

void FakeTCPFlow::readData(std::function<void(NSData, OptionalError)> completion) {
    std::lock_guard lock(mutex_);
    recordLocked("readData");
    reads_.push_back(std::move(completion));
}

void FakeTCPFlow::write(NSData data, std::function<void(OptionalError)> completion) {
    std::lock_guard lock(mutex_);
    recordLocked("write");
    written_.push_back(std::move(data));
    writes_.push_back(std::move(completion));
}

void FakeTCPFlow::closeReadWithError(OptionalError error) {
    std::lock_guard lock(mutex_);
    recordLocked("closeRead");
    closeReadError_ = std::move(error);
}

void FakeTCPFlow::closeWriteWithError(OptionalError error) {
    std::lock_guard lock(mutex_);
    recordLocked("closeWrite");
    closeWriteError_ = std::move(error);
}

bool FakeTCPFlow::relayWith(std::shared_ptr<NWTCPConnection>, std::function<void(OptionalError)> completion) {
    std::lock_guard lock(mutex_);
    recordLocked("relayWith");
    if (!acceptsRelay_) {
        return false;
    }
    relayCompletion_ = std::move(completion);
    return true;
}

bool FakeTCPFlow::completeRelay(OptionalError error) {
    std::function<void(OptionalError)> completion;
    {
        std::lock_guard lock(mutex_);
        completion = std::exchange(relayCompletion_, nullptr);
    }
    if (!completion) {
        return false;
    }
    completion(std::move(error));
    return true;
}

bool FakeTCPFlow::completeOpen(OptionalError error) {
    std::function<void(OptionalError)> completion;
    {
        std::lock_guard lock(mutex_);
        completion = std::exchange(openCompletion_, nullptr);
    }
    if (!completion) {
        return false;
    }
    completion(std::move(error));
    return true;
}

bool FakeTCPFlow::completeRead(NSData data, OptionalError error) {
    std::function<void(NSData, OptionalError)> completion;
    {
        std::lock_guard lock(mutex_);
        if (reads_.empty()) {
            return false;
        }
        completion = std::move(reads_.front());
        reads_.pop_front();
    }
    completion(std::move(data), std::move(error));
    return true;
}

bool FakeTCPFlow::completeWrite(OptionalError error) {
    std::function<void(OptionalError)> completion;
    {
        std::lock_guard lock(mutex_);
        if (writes_.empty()) {
            return false;
        }
        completion = std::move(writes_.front());
        writes_.pop_front();
    }
    completion(std::move(error));
    return true;
}

std::vector<std::string> FakeTCPFlow::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<NSData> FakeTCPFlow::written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

std::optional<OptionalError> FakeTCPFlow::closeReadError() const {
    std::lock_guard lock(mutex_);
    return closeReadError_;
}

std::optional<OptionalError> FakeTCPFlow::closeWriteError() const {
    std::lock_guard lock(mutex_);
    return closeWriteError_;
}

std::size_t FakeTCPFlow::pendingReads() const {
    std::lock_guard lock(mutex_);
    return reads_.size();
}

}  // namespace sentorix::testing
