#include "ExtensionStatus.h"

#include "SecureDirectory.h"
#include "StateDirectory.h"

#include <fcntl.h>

#include <sstream>

namespace sentorix::linux_system {

bool ExtensionStatus::isLockHeld(const SecureDirectory& stateDirectory) {
    std::string ignored;
    const UniqueFd file = stateDirectory.openFile(StateDirectory::LockName, O_RDONLY, ignored);
    if (!file.valid()) {
        return false;
    }
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    return ::fcntl(file.get(), F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

ExtensionStatus ExtensionStatus::read(const std::string& stateDirectory) {
    std::string problem;
    bool missing = false;
    const auto directory = SecureDirectory::open(stateDirectory, false, problem, &missing);
    if (!directory) {
        ExtensionStatus status;
        status.problem = problem;
        return status;
    }
    return read(*directory);
}

ExtensionStatus ExtensionStatus::read(const SecureDirectory& stateDirectory) {
    ExtensionStatus status;
    status.running = isLockHeld(stateDirectory);
    bool missing = false;
    const auto content = stateDirectory.readFile(StateDirectory::StatusName, 64 * 1024, status.problem, &missing);
    std::istringstream in(content.value_or(""));
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
