#pragma once

#include "Result.h"

#include "UniqueFd.h"

#include <mutex>
#include <string>

namespace sentorix::linux_system {

class SecureDirectory;

// Serialises the host's changes to the state directory across processes: taken by activation and
// held through the start that follows it, so two hosts starting at once end with one extension and
// one configuration. Holding it again from the same process is a no-op; every end of an operation
// that started nothing (a failed request or save, a finished start or stop) releases it.
class HostOperationLock {
public:
    static HostOperationLock& shared();

    // Blocks until this process holds the lock; an error when the lock file is refused.
    Result<void> hold(const SecureDirectory& stateDirectory);
    void release();

private:
    std::mutex mutex_;
    UniqueFd file_;
    std::string directory_;
};

}  // namespace sentorix::linux_system
