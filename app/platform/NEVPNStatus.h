#pragma once

#include <string>

namespace sentorix {

// The status of a proxy configuration's connection, with the platform's numeric values.
enum class NEVPNStatus : int {
    invalid = 0,
    disconnected = 1,
    connecting = 2,
    connected = 3,
    reasserting = 4,
    disconnecting = 5,
};

// "invalid", "disconnected", ...; the number for a value outside the enumeration.
std::string statusName(NEVPNStatus status);

}  // namespace sentorix
