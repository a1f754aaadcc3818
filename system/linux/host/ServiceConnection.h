#pragma once

#include "NEVPNConnection.h"
#include "ServiceClient.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace sentorix::linux_system {

// A configuration's connection, carried out by the service. The status is asked for when read; a
// thread of its own listens for the service's status changes and posts them as notifications. While
// the service cannot be reached the status is disconnected, and the listener tries again every second.
class ServiceConnection : public NEVPNConnection {
public:
    ServiceConnection(ServiceClient client, std::string extensionIdentifier);
    ~ServiceConnection() override;

    NEVPNStatus status() const override;
    // Waits until the service has started the extension or failed to.
    OptionalError startVPNTunnel() override;
    void stopVPNTunnel() override;

private:
    void listen();
    void update(NEVPNStatus status);

    const ServiceClient client_;
    const std::string extensionIdentifier_;
    mutable std::mutex mutex_;
    std::optional<NEVPNStatus> status_;  // as last pushed, while subscribed
    std::atomic<bool> stopping_{false};
    std::thread listener_;
};

}  // namespace sentorix::linux_system
