#pragma once

#include "tunnel/SXTunnelConnectionOwner.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace sentorix::testing {

// A tunnel owner that hands each report to a function of the test's; a missing function ignores it.
class CallbackTunnelOwner : public SXTunnelConnectionOwner {
public:
    using IdCallback = std::function<void(const std::string&)>;
    using FailureCallback = std::function<void(PreHandshakeFailure, const std::string&)>;

    CallbackTunnelOwner(IdCallback established, FailureCallback failed, IdCallback closed)
        : established_(std::move(established)), failed_(std::move(failed)), closed_(std::move(closed)) {}

    static std::shared_ptr<CallbackTunnelOwner> make(IdCallback established, FailureCallback failed, IdCallback closed) {
        return std::make_shared<CallbackTunnelOwner>(std::move(established), std::move(failed), std::move(closed));
    }

    void tunnelEstablished(const std::string& id) override {
        if (established_) established_(id);
    }
    void tunnelFailedBeforeEstablished(PreHandshakeFailure failure, const std::string& target) override {
        if (failed_) failed_(failure, target);
    }
    void tunnelClosed(const std::string& id) override {
        if (closed_) closed_(id);
    }

private:
    const IdCallback established_;
    const FailureCallback failed_;
    const IdCallback closed_;
};

}  // namespace sentorix::testing
