#pragma once

#include "DispatchTimer.h"
#include "ExtensionProcess.h"
#include "NEVPNStatus.h"
#include "Result.h"
#include "SupervisedExtension.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace sentorix::linux_system {

// Starts and stops the extension for the service and watches it while it is wanted, in one of five
// phases:
// - starting: a start or restart is launching it;
// - running: it beats on its pipe;
// - failedOpen: no beat for `silence`; its kernel redirection is removed and the connections waiting
//   unaccepted on it are reset, so traffic goes direct. A beat again puts the redirection back without
//   a restart (it keeps its tunnels); `giveUp` without one ends it, and it is restarted;
// - backingOff: it ended unasked; it is restarted after a back-off that doubles from `firstBackoff` to
//   `maxBackoff`, and starts over once a run lasted `stableRun`;
// - stopped: not wanted.
// Starts, stops and restarts block (bounded) and run on `worker`, the thread the caller's requests run
// on. The watching ticks on a queue of its own, on `clock`'s timers, so that nothing else the service
// does can make a healthy extension look silent. The extension is reached through `launcher`, its
// redirection through `redirection`.
class ExtensionSupervisor : public std::enable_shared_from_this<ExtensionSupervisor> {
public:
    enum class Phase { stopped, starting, running, failedOpen, backingOff };

    struct Timing {
        std::chrono::milliseconds tick{250};
        std::chrono::milliseconds silence{2000};
        std::chrono::milliseconds giveUp{30000};
        std::chrono::milliseconds firstBackoff{1000};
        std::chrono::milliseconds maxBackoff{30000};
        std::chrono::milliseconds stableRun{30000};
    };
    using Worker = std::function<void(std::function<void()>)>;
    using Log = std::function<void(const std::string&)>;
    using StatusObserver = std::function<void(NEVPNStatus)>;

    ExtensionSupervisor(Worker worker, Log log, StatusObserver observer, Timing timing,
                        std::shared_ptr<DispatchTimerFactory> clock, std::shared_ptr<ExtensionLauncher> launcher,
                        std::shared_ptr<ExtensionRedirection> redirection);
    ~ExtensionSupervisor();

    void watch();
    // On the worker. Starts the activated extension `identifier` unless it runs, and wants it from now on.
    Result<void> start(const std::string& identifier);
    // On the worker. Stops it and no longer wants it.
    void stop();
    // As published, but reasserting while its redirection is removed.
    NEVPNStatus status() const;
    Phase phase() const;

private:
    using TimePoint = DispatchTimerFactory::TimePoint;

    void tick();
    void restart();
    // The one place the back-off is decided: `line` gets the delay.
    void backOffLocked(std::string& line, const std::string& delayIs);
    NEVPNStatus shownLocked(NEVPNStatus published) const;

    const Worker worker_;
    const Log log_;
    const StatusObserver observer_;
    const Timing timing_;
    const std::shared_ptr<DispatchTimerFactory> clock_;
    const std::shared_ptr<ExtensionLauncher> launcher_;
    const std::shared_ptr<ExtensionRedirection> redirection_;
    const std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<DispatchTimer> timer_;

    mutable std::mutex mutex_;
    Phase phase_ = Phase::stopped;
    std::string identifier_;
    // Our child while it runs; none for one started before this service (its lock tells whether it lives).
    // Shared, so that it can be asked without the lock while a stop takes it away.
    std::shared_ptr<ExtensionRun> process_;
    UnreapedChildren unreaped_;
    TimePoint lastBeat_{};
    TimePoint startedAt_{};
    TimePoint restartAt_{};
    std::chrono::milliseconds backoff_{0};
    bool givenUp_ = false;  // ended for its silence; the reaping follows
    NEVPNStatus lastShown_ = NEVPNStatus::invalid;  // as last pushed
};

}  // namespace sentorix::linux_system
