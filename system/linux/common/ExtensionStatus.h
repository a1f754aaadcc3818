#pragma once

#include <sys/types.h>

#include <string>

namespace sentorix::linux_system {

class SecureDirectory;

// What the extension process publishes about itself, and whether it is alive: it holds an
// open-file-description write lock on the lock file for its whole life.
struct ExtensionStatus {
    bool running = false;
    std::string word;  // "connecting", "connected", "disconnecting", "disconnected", or empty
    pid_t pid = 0;
    std::string lastError;
    std::string problem;  // why the state directory could not be read, if it could not

    static ExtensionStatus read(const std::string& stateDirectory);
    static ExtensionStatus read(const SecureDirectory& stateDirectory);
    // Tests the lock without taking it, so a starting extension never finds it held by a reader.
    static bool isLockHeld(const SecureDirectory& stateDirectory);
};

}  // namespace sentorix::linux_system
