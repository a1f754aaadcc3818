#pragma once

#include "NEVPNStatus.h"
#include "Result.h"

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

namespace sentorix::linux_system {

// What ExtensionSupervisor touches of the extension and of the kernel, so that it can be watched on a
// manual clock with stand-ins. The real ones: ChildExtensionLauncher (ExtensionProcess.h) and
// KernelRedirection.

// One run of the extension that the service launched.
class ExtensionRun {
public:
    virtual ~ExtensionRun() = default;
    virtual pid_t pid() const = 0;
    // The heartbeat: true when at least one beat came since the last call.
    virtual bool beatsArrived() = 0;
    // How it ended ("was killed by signal 9 (SIGKILL)"), once it has.
    virtual std::optional<std::string> ended() = 0;
    virtual void signal(int number) = 0;
    // Asks it to stop and waits, bounded; true once it is reaped.
    virtual bool end() = 0;
};

// Launching the extension, and what it says of itself in the state directory.
class ExtensionLauncher {
public:
    virtual ~ExtensionLauncher() = default;
    // A run of `identifier`, or why it could not start; none, without an error, when one started
    // elsewhere runs already.
    virtual Result<std::unique_ptr<ExtensionRun>> launch(const std::string& identifier) = 0;
    // Whether an extension holds its lock, ours or one started before this service.
    virtual bool running() const = 0;
    virtual NEVPNStatus published() const = 0;
    // Stops one that is not our child.
    virtual void stopUnowned() = 0;
};

// Taking a silent extension's redirection away from outside, and asking it to put it back.
class ExtensionRedirection {
public:
    virtual ~ExtensionRedirection() = default;
    // What was done; an error, saying what was done and what is left, when only the extension's end
    // frees the rest.
    virtual Result<std::string> remove(pid_t extension) = 0;
    virtual void restore(pid_t extension) = 0;
};

}  // namespace sentorix::linux_system
