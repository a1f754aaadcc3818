#include "FakeTCPConnection.h"

#include <algorithm>

namespace sentorix::testing {

void FakeTCPConnection::recordLocked(std::string call) {
    if (journal_) {
        journal_->add("connection." + call);
    }
    calls_.push_back(std::move(call));
}

NWTCPConnectionState FakeTCPConnection::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

OptionalError FakeTCPConnection::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void FakeTCPConnection::addObserver(std::weak_ptr<NSKeyValueObserving> observer, const std::string& keyPath) {
    std::lock_guard lock(mutex_);
    recordLocked("addObserver");
    observers_.push_back(Observer{observer, observer.lock().get(), keyPath});
}

void FakeTCPConnection::removeObserver(NSKeyValueObserving* observer, const std::string& keyPath) {
    std::lock_guard lock(mutex_);
    recordLocked("removeObserver");
    std::erase_if(observers_, [&](const Observer& o) { return o.raw == observer && o.keyPath == keyPath; });
}

void FakeTCPConnection::write(NSData data, std::function<void(OptionalError)> completion) {
    std::lock_guard lock(mutex_);
    recordLocked("write");
    written_.push_back(std::move(data));
    writes_.push_back(std::move(completion));
}

void FakeTCPConnection::writeClose() {
    std::lock_guard lock(mutex_);
    recordLocked("writeClose");
}

void FakeTCPConnection::readMinimumLength(std::size_t, std::size_t maximum,
                                          std::function<void(NSData, OptionalError)> completion) {
    std::lock_guard lock(mutex_);
    recordLocked("read");
    lastReadMaximum_ = maximum;
    reads_.push_back(std::move(completion));
}

void FakeTCPConnection::cancel() {
    {
        std::lock_guard lock(mutex_);
        recordLocked("cancel");
    }
    setState(NWTCPConnectionState::Cancelled);
}

void FakeTCPConnection::setState(NWTCPConnectionState state, OptionalError error) {
    std::vector<std::shared_ptr<NSKeyValueObserving>> toNotify;
    {
        std::lock_guard lock(mutex_);
        state_ = state;
        error_ = std::move(error);
        for (const auto& o : observers_) {
            if (o.keyPath != "state") {
                continue;
            }
            if (auto live = o.observer.lock()) {
                toNotify.push_back(std::move(live));
            }
        }
    }
    for (const auto& observer : toNotify) {
        observer->observeValue("state", this);
    }
}

bool FakeTCPConnection::completeRead(NSData data, OptionalError error) {
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

bool FakeTCPConnection::completeWrite(OptionalError error) {
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

std::vector<std::string> FakeTCPConnection::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<NSData> FakeTCPConnection::written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

std::size_t FakeTCPConnection::observerCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(observers_.begin(), observers_.end(),
                                                  [](const Observer& o) { return !o.observer.expired(); }));
}

std::size_t FakeTCPConnection::pendingReads() const {
    std::lock_guard lock(mutex_);
    return reads_.size();
}

std::size_t FakeTCPConnection::lastReadMaximum() const {
    std::lock_guard lock(mutex_);
    return lastReadMaximum_;
}

}  // namespace sentorix::testing
