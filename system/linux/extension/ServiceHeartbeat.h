#pragma once

#include "DispatchSourceTimer.h"
#include "UniqueFd.h"

#include <memory>

namespace sentorix::linux_system {

// Proves to the service that started the extension that its queues still run: a byte on the pipe
// the service passed (SENTORIX_HEARTBEAT_FD) four times a second. A service that hears nothing for
// two seconds takes the extension's redirection away, so a stopped or stuck extension fails open.
class ServiceHeartbeat {
public:
    static constexpr const char* Variable = "SENTORIX_HEARTBEAT_FD";

    // Nothing when the extension was not started by the service.
    static std::unique_ptr<ServiceHeartbeat> fromEnvironment();
    explicit ServiceHeartbeat(UniqueFd pipe);
    ~ServiceHeartbeat();

private:
    void beat();

    UniqueFd pipe_;
    std::shared_ptr<DispatchSourceTimer> timer_;
};

}  // namespace sentorix::linux_system
