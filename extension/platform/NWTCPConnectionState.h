#pragma once

namespace sentorix {

enum class NWTCPConnectionState { Invalid, Connecting, Waiting, Connected, Disconnected, Cancelled };

}  // namespace sentorix
