#include "ExtensionStatus.h"

#include "SecureDirectory.h"
#include "StateDirectory.h"

#include <fcntl.h>

#include <sstream>

namespace sentorix::linux_system {

bool ExtensionStatus::isLockHeld(const SecureDirectory& stateDirectory) {
    const auto file = stateDirectory.openFile(StateDirectory::LockName, O_RDONLY);
    if (!file) {
        return false;  // no lock file: nobody ever ran here, or it cannot be trusted
    }
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    return ::fcntl(file->get(), F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

ExtensionStatus ExtensionStatus::read(const std::string& stateDirectory) {
    const auto directory = SecureDirectory::open(stateDirectory, false);
    if (!directory) {
        ExtensionStatus status;
        if (!directory.missing()) {
            status.problem = directory.error().localizedDescription();
        }
        return status;
    }
    return read(*directory);
}

ExtensionStatus ExtensionStatus::read(const SecureDirectory& stateDirectory) {
    ExtensionStatus status;
    status.running = isLockHeld(stateDirectory);
    const auto content = stateDirectory.readFile(StateDirectory::StatusName, 64 * 1024);
    if (!content && !content.missing()) {
        status.problem = content.error().localizedDescription();
    }
    std::istringstream in(content ? *content : "");
    std::string pid;
    std::getline(in, status.word);
    std::getline(in, pid);
    std::getline(in, status.lastError);
    try {
        status.pid = pid.empty() ? 0 : static_cast<pid_t>(std::stol(pid));
    } catch (const std::exception&) {
        status.pid = 0;
    }
    return status;
}

}  // namespace sentorix::linux_system
