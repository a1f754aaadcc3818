#pragma once

#include "NSError.h"
#include "Result.h"
#include "SupervisedExtension.h"
#include "UniqueFd.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace sentorix::linux_system {

// One run of the extension as the service's child, with the pipe it beats on: launched and waited for
// until it is connected, then watched without blocking, and ended (SIGTERM, then SIGKILL past a bound).
class ExtensionProcess {
public:
    // A process that could not be launched, or that ended while starting, is an error; none, without
    // one, when an extension started elsewhere runs already.
    static Result<std::optional<ExtensionProcess>> launch(const std::string& stateDirectory,
                                                          const std::string& identifier);

    ExtensionProcess(ExtensionProcess&&) = default;
    ExtensionProcess& operator=(ExtensionProcess&&) = default;

    pid_t pid() const { return pid_; }
    // Drains the pipe: true when at least one beat came since the last call.
    bool beatsArrived();
    // How it ended ("was killed by signal 9 (SIGKILL)"), once it has; reaps it.
    std::optional<std::string> ended();
    void signal(int number) const;
    // Asks it to stop and waits, bounded, holding nothing; true once it is reaped.
    bool end(const std::string& stateDirectory);

    static std::string exitReason(int status);

private:
    ExtensionProcess(pid_t pid, UniqueFd beats) : pid_(pid), beats_(std::move(beats)) {}

    pid_t pid_;
    UniqueFd beats_;
    bool reaped_ = false;
};

// Children that would not be reaped when they were ended (a process stuck in the kernel): reaped later,
// never left as zombies.
class UnreapedChildren {
public:
    void add(pid_t pid) { pids_.push_back(pid); }
    void reap();

private:
    std::vector<pid_t> pids_;
};

// The supervisor's launcher for real: the extension as the service's child (ExtensionProcess), its
// status and lock read from the state directory.
class ChildExtensionLauncher final : public ExtensionLauncher {
public:
    explicit ChildExtensionLauncher(std::string stateDirectory) : stateDirectory_(std::move(stateDirectory)) {}

    Result<std::unique_ptr<ExtensionRun>> launch(const std::string& identifier) override;
    bool running() const override;
    NEVPNStatus published() const override;
    void stopUnowned() override;

private:
    const std::string stateDirectory_;
};

}  // namespace sentorix::linux_system
