#pragma once

#include "NEVPNConnection.h"

#include <mutex>

namespace sentorix::testing {

// A connection whose status the test sets and whose start result it scripts.
class FakeVPNConnection : public NEVPNConnection {
public:
    NEVPNStatus status() const override {
        std::lock_guard lock(mutex_);
        return status_;
    }
    OptionalError startVPNTunnel() override {
        std::lock_guard lock(mutex_);
        ++starts;
        if (startError) {
            return startError;
        }
        status_ = NEVPNStatus::connected;
        return std::nullopt;
    }
    void stopVPNTunnel() override {
        std::lock_guard lock(mutex_);
        ++stops;
        status_ = NEVPNStatus::disconnected;
    }
    void setStatus(NEVPNStatus status) {
        std::lock_guard lock(mutex_);
        status_ = status;
    }

    OptionalError startError;
    int starts = 0;
    int stops = 0;

private:
    mutable std::mutex mutex_;
    NEVPNStatus status_ = NEVPNStatus::disconnected;
};

}  // namespace sentorix::testing
