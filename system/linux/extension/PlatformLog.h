#pragma once

#include "OSLog.h"

namespace sentorix::linux_system {

// Where what the system does for the provider is logged: the extension's identifier, category "Platform".
const OSLog& platformLog();

}  // namespace sentorix::linux_system
