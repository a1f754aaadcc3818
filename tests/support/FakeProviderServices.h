#pragma once

#include "NEProviderServices.h"

#include <functional>
#include <mutex>
#include <vector>

namespace sentorix::testing {

// The platform side of a provider: a configurable protocol, settings that wait for the test to answer,
// and a record of the connections asked for.
class FakeProviderServices : public NEProviderServices {
public:
    std::shared_ptr<const NEVPNProtocol> protocolConfiguration() const override {
        std::lock_guard lock(mutex_);
        return protocol_;
    }
    void setTunnelNetworkSettings(std::shared_ptr<const NETransparentProxyNetworkSettings> settings,
                                  std::function<void(OptionalError)> completion) override {
        std::lock_guard lock(mutex_);
        settings_.push_back(std::move(settings));
        pending_.push_back(std::move(completion));
    }
    std::shared_ptr<NWTCPConnection> createTCPConnection(const NWHostEndpoint& endpoint) override {
        std::lock_guard lock(mutex_);
        connectionEndpoints_.push_back(endpoint);
        return connectionFactory_ ? connectionFactory_(endpoint) : nullptr;
    }

    void setProtocol(std::shared_ptr<const NEVPNProtocol> protocol) {
        std::lock_guard lock(mutex_);
        protocol_ = std::move(protocol);
    }
    void setConnectionFactory(std::function<std::shared_ptr<NWTCPConnection>(const NWHostEndpoint&)> factory) {
        std::lock_guard lock(mutex_);
        connectionFactory_ = std::move(factory);
    }
    // Answers the oldest settings request; false when none waits.
    bool completeSettings(OptionalError error = std::nullopt) {
        std::function<void(OptionalError)> completion;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) {
                return false;
            }
            completion = std::move(pending_.front());
            pending_.erase(pending_.begin());
        }
        completion(std::move(error));
        return true;
    }
    std::vector<std::shared_ptr<const NETransparentProxyNetworkSettings>> appliedSettings() const {
        std::lock_guard lock(mutex_);
        return settings_;
    }
    std::vector<NWHostEndpoint> connectionEndpoints() const {
        std::lock_guard lock(mutex_);
        return connectionEndpoints_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const NEVPNProtocol> protocol_;
    std::vector<std::shared_ptr<const NETransparentProxyNetworkSettings>> settings_;
    std::vector<std::function<void(OptionalError)>> pending_;
    std::function<std::shared_ptr<NWTCPConnection>(const NWHostEndpoint&)> connectionFactory_;
    std::vector<NWHostEndpoint> connectionEndpoints_;
};

}  // namespace sentorix::testing
