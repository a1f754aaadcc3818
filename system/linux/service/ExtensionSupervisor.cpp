#include "ExtensionSupervisor.h"

#include <csignal>

namespace sentorix::linux_system {

namespace {

std::string seconds(std::chrono::steady_clock::duration delay) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(delay).count() / 100;
    return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") + " s";
}

std::string named(pid_t pid) { return "the extension (pid " + std::to_string(pid) + ")"; }

}  // namespace

ExtensionSupervisor::ExtensionSupervisor(Worker worker, Log log, StatusObserver observer, Timing timing,
                                         std::shared_ptr<DispatchTimerFactory> clock,
                                         std::shared_ptr<ExtensionLauncher> launcher,
                                         std::shared_ptr<ExtensionRedirection> redirection)
    : worker_(std::move(worker)),
      log_(std::move(log)),
      observer_(std::move(observer)),
      timing_(timing),
      clock_(std::move(clock)),
      launcher_(std::move(launcher)),
      redirection_(std::move(redirection)),
      // Its own queue, on threads whose blocks may wait: no request, lookup or accept runs before a tick.
      queue_(DispatchQueue::create("sentorixd.supervision", DispatchQueue::Kind::Serial,
                                   DispatchQueue::Work::MayWait)) {}

ExtensionSupervisor::~ExtensionSupervisor() {
    if (timer_) {
        timer_->cancel();
    }
}

void ExtensionSupervisor::watch() {
    const auto published = launcher_->published();
    {
        std::lock_guard lock(mutex_);
        lastShown_ = published;
    }
    timer_ = clock_->makeTimer(queue_);
    std::weak_ptr<ExtensionSupervisor> weak = shared_from_this();
    timer_->setEventHandler([weak] {
        if (auto self = weak.lock()) {
            self->tick();
        }
    });
    timer_->schedule(DispatchTimer::Duration::zero(), timing_.tick);
    timer_->resume();
}

NEVPNStatus ExtensionSupervisor::status() const {
    // Read now, not from the last tick: a status asked right after a start or stop must show it.
    const auto published = launcher_->published();
    std::lock_guard lock(mutex_);
    return shownLocked(published);
}

ExtensionSupervisor::Phase ExtensionSupervisor::phase() const {
    std::lock_guard lock(mutex_);
    return phase_;
}

NEVPNStatus ExtensionSupervisor::shownLocked(NEVPNStatus published) const {
    return phase_ == Phase::failedOpen && published != NEVPNStatus::disconnected ? NEVPNStatus::reasserting
                                                                                 : published;
}

Result<void> ExtensionSupervisor::start(const std::string& identifier) {
    {
        std::lock_guard lock(mutex_);
        identifier_ = identifier;
        backoff_ = std::chrono::milliseconds(0);
        if (phase_ == Phase::running || phase_ == Phase::failedOpen) {
            return {};
        }
        phase_ = Phase::starting;  // the watch leaves it alone until this start is over
        startedAt_ = clock_->now();
    }
    if (launcher_->running()) {
        // Started before this service: watched by its lock alone.
        std::lock_guard lock(mutex_);
        phase_ = Phase::running;
        return {};
    }
    auto launched = launcher_->launch(identifier);
    std::lock_guard lock(mutex_);
    if (!launched || !*launched) {
        phase_ = Phase::stopped;  // the caller hears of it; a failed start is not retried behind its back
        return launched ? Result<void>() : Result<void>(launched.error());
    }
    process_ = std::move(*launched);
    phase_ = Phase::running;
    lastBeat_ = clock_->now();
    givenUp_ = false;
    return {};
}

void ExtensionSupervisor::stop() {
    std::shared_ptr<ExtensionRun> process;
    {
        std::lock_guard lock(mutex_);
        phase_ = Phase::stopped;
        process.swap(process_);
    }
    const bool reaped = process ? process->end() : true;
    if (!process) {
        launcher_->stopUnowned();
    }
    if (!reaped) {
        const pid_t pid = process->pid();
        std::lock_guard lock(mutex_);
        unreaped_.add(pid);
    }
}

void ExtensionSupervisor::restart() {
    std::string identifier;
    {
        std::lock_guard lock(mutex_);
        if (phase_ != Phase::starting) {
            return;  // stopped, or started by a request, since it fell due
        }
        identifier = identifier_;
        startedAt_ = clock_->now();
    }
    auto launched = launcher_->launch(identifier);
    std::string line;
    {
        std::lock_guard lock(mutex_);
        if (phase_ != Phase::starting) {
            return;
        }
        if (launched && *launched) {
            process_ = std::move(*launched);
            phase_ = Phase::running;
            lastBeat_ = clock_->now();
            givenUp_ = false;
            return;
        }
        line = "the extension could not be restarted (after it ended): " +
               (launched ? std::string("it did not start") : launched.error().localizedDescription());
        backOffLocked(line, "next try in ");
    }
    log_(line);
}

void ExtensionSupervisor::backOffLocked(std::string& line, const std::string& delayIs) {
    const auto now = clock_->now();
    if (now - startedAt_ >= timing_.stableRun) {
        backoff_ = std::chrono::milliseconds(0);
    }
    backoff_ = backoff_.count() == 0 ? timing_.firstBackoff : std::min(backoff_ * 2, timing_.maxBackoff);
    restartAt_ = now + backoff_;
    phase_ = Phase::backingOff;
    line += "; " + delayIs + seconds(backoff_);
}

void ExtensionSupervisor::tick() {
    bool unowned = false;
    {
        std::lock_guard lock(mutex_);
        unowned = (phase_ == Phase::running || phase_ == Phase::failedOpen) && !process_;
    }
    // Asked without the lock; only one not our child is watched by it.
    const bool unownedRuns = unowned && launcher_->running();
    // What the run says of itself is asked without the lock, like every other call out of here; a stop
    // or restart meanwhile shows as another run in process_, and this tick then leaves it be.
    std::shared_ptr<ExtensionRun> run;
    {
        std::lock_guard lock(mutex_);
        run = process_;
    }
    std::optional<std::string> how;
    bool beats = false;
    if (run) {
        how = run->ended();
        beats = !how && run->beatsArrived();
    }
    const pid_t pid = run ? run->pid() : 0;

    std::vector<std::string> lines;
    std::optional<pid_t> removeFrom;
    std::optional<pid_t> restoreTo;
    std::shared_ptr<ExtensionRun> finished;  // let go of after the lock
    bool kill = false;
    bool due = false;
    {
        std::lock_guard lock(mutex_);
        unreaped_.reap();
        const auto now = clock_->now();
        switch (phase_) {
        case Phase::running:
        case Phase::failedOpen:
            if (process_ != run) {
                break;  // started or stopped while the run was asked: the next tick looks again
            }
            if (!process_) {
                if (unowned && !unownedRuns) {
                    lines.emplace_back("the extension is no longer running");
                    backOffLocked(lines.back(), "restarting it in ");
                }
            } else if (how) {
                lines.push_back(named(pid) + " " + *how);
                finished.swap(process_);
                backOffLocked(lines.back(), "restarting it in ");
            } else if (beats) {
                if (phase_ == Phase::failedOpen) {
                    phase_ = Phase::running;
                    restoreTo = pid;
                    lines.push_back(named(pid) + " answers again after " + seconds(now - lastBeat_) +
                                    "; its redirection is put back, its tunnels kept");
                }
                lastBeat_ = now;
            } else if (phase_ == Phase::running && now - lastBeat_ >= timing_.silence) {
                phase_ = Phase::failedOpen;
                removeFrom = pid;
            } else if (phase_ == Phase::failedOpen && now - lastBeat_ >= timing_.giveUp && !givenUp_) {
                givenUp_ = true;
                lines.push_back(named(pid) + " has not answered for " + seconds(timing_.giveUp) + "; ending it");
                kill = true;  // the next tick reaps it and backs off
            }
            break;
        case Phase::backingOff:
            if (now >= restartAt_) {
                phase_ = Phase::starting;
                due = true;
            }
            break;
        case Phase::stopped:
        case Phase::starting:
            break;
        }
    }
    if (kill) {
        run->signal(SIGKILL);
    }
    for (const auto& line : lines) {
        log_(line);
    }
    if (removeFrom) {
        const auto removed = redirection_->remove(*removeFrom);
        log_(named(*removeFrom) + " has not answered for " + seconds(timing_.silence) + "; " +
             (removed ? *removed : removed.error().localizedDescription()));
        if (!removed) {
            // What only its end can free: end it, and the restart brings the redirection back.
            std::shared_ptr<ExtensionRun> current;
            {
                std::lock_guard lock(mutex_);
                current = process_;
            }
            if (current == run) {
                run->signal(SIGKILL);
            }
        }
    }
    if (restoreTo) {
        redirection_->restore(*restoreTo);
    }
    if (due) {
        worker_([self = shared_from_this()] { self->restart(); });
    }
    const auto published = launcher_->published();
    NEVPNStatus shown;
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        shown = shownLocked(published);
        changed = shown != lastShown_;
        lastShown_ = shown;
    }
    if (changed) {
        observer_(shown);
    }
}

}  // namespace sentorix::linux_system
