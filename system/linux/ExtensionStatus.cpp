#include "ExtensionStatus.h"

#include "StateDirectory.h"
#include "UniqueFd.h"

#include <fcntl.h>

#include <fstream>

namespace sentorix::linux_system {

bool ExtensionStatus::isLockHeld(const std::string& lockPath) {
    UniqueFd file(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return false;
    }
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    return ::fcntl(file.get(), F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

ExtensionStatus ExtensionStatus::read(const std::string& stateDirectory) {
    ExtensionStatus status;
    status.running = isLockHeld(StateDirectory::lockPath(stateDirectory));
    std::ifstream in(StateDirectory::statusPath(stateDirectory));
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
