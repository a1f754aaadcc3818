#pragma once

#include "NEVPNStatus.h"
#include "NSError.h"

namespace sentorix {

// Posted on the default notification centre, with the connection as object, when its status changes.
inline constexpr const char* NEVPNStatusDidChangeNotification = "NEVPNStatusDidChangeNotification";

// The connection of a saved proxy configuration: starts and stops the provider that serves it.
class NEVPNConnection {
public:
    virtual ~NEVPNConnection() = default;
    virtual NEVPNStatus status() const = 0;
    // The error says why the provider could not be started; none means it was.
    virtual OptionalError startVPNTunnel() = 0;
    virtual void stopVPNTunnel() = 0;
};

}  // namespace sentorix
