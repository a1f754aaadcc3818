#include "HostOperationLock.h"

#include "SecureDirectory.h"
#include "StateDirectory.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace sentorix::linux_system {

HostOperationLock& HostOperationLock::shared() {
    static HostOperationLock* instance = new HostOperationLock;
    return *instance;
}

Result<void> HostOperationLock::hold(const SecureDirectory& stateDirectory) {
    {
        std::lock_guard lock(mutex_);
        if (file_.valid() && directory_ == stateDirectory.path()) {
            return {};
        }
        file_.reset();  // held for another directory: that operation is over
    }
    auto opened = stateDirectory.openFile(StateDirectory::OperationLockName, O_RDWR | O_CREAT);
    if (!opened) {
        return opened.error();
    }
    UniqueFd file = std::move(*opened);
    // Waited for outside the mutex: another process may hold it for a whole start.
    while (::flock(file.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    std::lock_guard lock(mutex_);
    if (!file_.valid()) {
        file_ = std::move(file);
        directory_ = stateDirectory.path();
    }
    return {};
}

void HostOperationLock::release() {
    std::lock_guard lock(mutex_);
    file_.reset();
}

}  // namespace sentorix::linux_system
