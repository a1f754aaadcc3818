#include "PlatformLog.h"

namespace sentorix::linux_system {

const OSLog& platformLog() {
    // Never destroyed: flows on the pool's threads may still log while statics are torn down.
    static const OSLog* const log = new OSLog("com.sentorix.desktop.extension", "Platform");
    return *log;
}

}  // namespace sentorix::linux_system
