#include "StateDirectory.h"

#include <cstdlib>

namespace sentorix::linux_system {

std::string StateDirectory::path() {
    const char* configured = std::getenv(Variable);
    return configured && *configured ? configured : Default;
}

}  // namespace sentorix::linux_system
