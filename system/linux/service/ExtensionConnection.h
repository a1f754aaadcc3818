#pragma once

#include "NEVPNConnection.h"
#include "DispatchSourceTimer.h"

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace sentorix::linux_system {

class SecureDirectory;

// A configuration's connection: launches the activated extension's program as a detached process,
// stops it with SIGTERM, and reads its status from what it publishes in the state directory.
class ExtensionConnection : public NEVPNConnection, public std::enable_shared_from_this<ExtensionConnection> {
public:
    static constexpr std::chrono::seconds StartTimeout{10};
    static constexpr std::chrono::seconds StopTimeout{5};
    static constexpr const char* ErrorDomain = "NEVPNErrorDomain";
    static constexpr long ConfigurationInvalid = 1;
    static constexpr long ConnectionFailed = 3;

    // Posts a status-change notification whenever a poll sees the status change.
    static std::shared_ptr<ExtensionConnection> create(
        std::string stateDirectory, std::string extensionIdentifier,
        std::chrono::milliseconds pollInterval = std::chrono::milliseconds(250));
    ExtensionConnection(std::string stateDirectory, std::string extensionIdentifier);
    ~ExtensionConnection() override;

    NEVPNStatus status() const override;
    // Waits, bounded, until the extension reports it is connected or has failed.
    OptionalError startVPNTunnel() override;
    void stopVPNTunnel() override;

    // Set before a start by the service: the extension is started as its child (not detached), with
    // `heartbeatWriter` inherited and named by SENTORIX_HEARTBEAT_FD. The descriptor stays the caller's.
    void superviseWith(int heartbeatWriter) { heartbeat_ = heartbeatWriter; }
    // The process the last start launched, if it launched one.
    pid_t launchedPid() const { return launched_; }

    // Stops whatever extension runs for the state directory: SIGTERM, then SIGKILL past the bound.
    static void stopExtension(const std::string& stateDirectory);
    static void stopExtension(const SecureDirectory& stateDirectory);
    static NEVPNStatus readStatus(const std::string& stateDirectory);

private:
    void poll();

    const std::string stateDirectory_;
    const std::string extensionIdentifier_;
    std::shared_ptr<DispatchSourceTimer> timer_;
    std::mutex mutex_;
    NEVPNStatus lastStatus_ = NEVPNStatus::invalid;
    int heartbeat_ = -1;
    pid_t launched_ = 0;
};

}  // namespace sentorix::linux_system
