#include "NEVPNStatus.h"

namespace sentorix {

std::string statusName(NEVPNStatus status) {
    switch (status) {
    case NEVPNStatus::invalid: return "invalid";
    case NEVPNStatus::disconnected: return "disconnected";
    case NEVPNStatus::connecting: return "connecting";
    case NEVPNStatus::connected: return "connected";
    case NEVPNStatus::reasserting: return "reasserting";
    case NEVPNStatus::disconnecting: return "disconnecting";
    }
    return std::to_string(static_cast<int>(status));
}

}  // namespace sentorix
