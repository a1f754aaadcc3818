#include "ExtensionSupervisor.h"

#include "ExtensionConnection.h"
#include "ExtensionStatus.h"
#include "KernelRedirection.h"
#include "UniqueFd.h"

#include <asio/post.hpp>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstring>
#include <thread>

namespace sentorix::linux_system {

namespace {

std::string exitReason(int status) {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* name = ::sigabbrev_np(signal);
        return std::string("was killed by signal ") + std::to_string(signal) + (name ? std::string(" (SIG") + name + ")" : "");
    }
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

// Waits, holding nothing, for our child to end; true once it has, or once another thread reaped it.
bool reapWithin(pid_t pid, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const pid_t ended = ::waitpid(pid, nullptr, WNOHANG);
        if (ended == pid || (ended < 0 && errno == ECHILD)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// After a stop: the child is reaped, killed first if it would not end.
void makeSureItEnded(pid_t pid) {
    if (pid > 0 && !reapWithin(pid, std::chrono::seconds(3))) {
        ::kill(pid, SIGKILL);
        reapWithin(pid, std::chrono::seconds(2));
    }
}

std::string seconds(std::chrono::milliseconds delay) {
    const auto tenths = delay.count() / 100;
    return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") + " s";
}

}  // namespace

ExtensionSupervisor::ExtensionSupervisor(asio::io_context& io, std::string stateDirectory, Worker worker, Log log,
                                         StatusObserver observer, Timing timing)
    : io_(io),
      stateDirectory_(std::move(stateDirectory)),
      worker_(std::move(worker)),
      log_(std::move(log)),
      observer_(std::move(observer)),
      timing_(timing),
      timer_(io) {}

void ExtensionSupervisor::watch() {
    lastShown_ = ExtensionConnection::readStatus(stateDirectory_);
    tick();
}

NEVPNStatus ExtensionSupervisor::status() const {
    // Read now, not from the last tick: a status asked right after a start or stop must show it.
    const auto published = ExtensionConnection::readStatus(stateDirectory_);
    std::lock_guard lock(mutex_);
    return failedOpen_ && published != NEVPNStatus::disconnected ? NEVPNStatus::reasserting : published;
}

OptionalError ExtensionSupervisor::start(const std::string& identifier) {
    {
        std::lock_guard lock(mutex_);
        wanted_ = true;
        identifier_ = identifier;
        restartAt_.reset();
        backoff_ = std::chrono::milliseconds(0);
        restarting_ = true;  // the watch leaves it alone until this start is over
    }
    OptionalError error;
    if (!ExtensionStatus::read(stateDirectory_).running) {
        error = launch(identifier);
    }
    std::lock_guard lock(mutex_);
    restarting_ = false;
    if (error) {
        wanted_ = false;  // the caller hears of it; a failed start is not retried behind its back
    }
    return error;
}

void ExtensionSupervisor::stop() {
    pid_t child = 0;
    {
        std::lock_guard lock(mutex_);
        wanted_ = false;
        restartAt_.reset();
        expectedExit_ = pid_;
        child = pid_;
    }
    ExtensionConnection::stopExtension(stateDirectory_);
    makeSureItEnded(child);
    std::lock_guard lock(mutex_);
    if (pid_ == child) {
        pid_ = 0;
        failedOpen_ = false;
    }
}

OptionalError ExtensionSupervisor::launch(const std::string& identifier) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return NSError(ExtensionConnection::ErrorDomain, ExtensionConnection::ConnectionFailed,
                       std::string("Cannot watch the extension: ") + std::strerror(errno));
    }
    UniqueFd reader(ends[0]);
    UniqueFd writer(ends[1]);
    // The extension's end blocks never: it drops a beat rather than wait.
    ExtensionConnection connection(stateDirectory_, identifier);
    connection.superviseWith(writer.get());
    auto error = connection.startVPNTunnel();
    writer.reset();
    const pid_t pid = connection.launchedPid();
    if (pid > 0 && error) {
        // A start that failed is answered here, not taken for a crash by the watch as well. One that
        // has already ended says how: killed from outside while starting reads otherwise like a fault.
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return NSError(error->domain(), error->code(),
                           error->localizedDescription() + "; it " + exitReason(status));
        }
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return error;
    }
    if (pid > 0) {
        std::lock_guard lock(mutex_);
        if (pid_ > 0 && pid_ != pid) {
            ended_.push_back(pid_);  // reaped by the watch, never left a zombie
        }
        pid_ = pid;
        startedAt_ = Clock::now();
        lastBeat_ = Clock::now();
        failedOpen_ = false;
        asio::post(io_, [self = shared_from_this(), fd = reader.release()] {
            self->beats_ = std::make_unique<asio::posix::stream_descriptor>(self->io_, fd);
            ++self->generation_;
            self->readBeats();
        });
    }
    return error;
}

void ExtensionSupervisor::readBeats() {
    if (!beats_) {
        return;
    }
    auto buffer = std::make_shared<std::array<char, 64>>();
    beats_->async_read_some(asio::buffer(*buffer), [self = shared_from_this(), buffer, generation = generation_](
                                                       const std::error_code& error, std::size_t) {
        if (generation != self->generation_) {
            return;
        }
        if (error) {
            self->beats_.reset();  // its end: the reaping says how it ended
            return;
        }
        bool answersAgain = false;
        pid_t pid = 0;
        {
            std::lock_guard lock(self->mutex_);
            self->lastBeat_ = Clock::now();
            if (self->failedOpen_ && !self->restarting_) {
                answersAgain = true;
                self->restarting_ = true;
                pid = self->pid_;
            }
        }
        if (answersAgain) {
            self->log_("the extension (pid " + std::to_string(pid) +
                       ") answers again; restarting it to restore its redirection");
            self->worker_([self] { self->restart("it answers again"); });
        }
        self->readBeats();
    });
}

void ExtensionSupervisor::restart(const std::string& reason) {
    std::string identifier;
    pid_t old = 0;
    {
        std::lock_guard lock(mutex_);
        // Not wanted any more, or a start since has brought up a healthy one: nothing to do.
        if (!wanted_ || (pid_ > 0 && !failedOpen_)) {
            restarting_ = false;
            return;
        }
        identifier = identifier_;
        old = pid_;
        expectedExit_ = old;
    }
    ExtensionConnection::stopExtension(stateDirectory_);
    // Reaped here, so that the watch does not take our own stop for a crash.
    makeSureItEnded(old);
    {
        std::lock_guard lock(mutex_);
        if (pid_ == old) {
            pid_ = 0;
        }
    }
    auto error = launch(identifier);
    std::lock_guard lock(mutex_);
    restarting_ = false;
    if (error) {
        backoff_ = std::max(timing_.firstBackoff, std::min(backoff_ * 2, timing_.maxBackoff));
        restartAt_ = Clock::now() + backoff_;
        log_("the extension could not be restarted (" + reason + "): " + error->localizedDescription() +
             "; next try in " + seconds(backoff_));
    }
}

void ExtensionSupervisor::reap() {
    std::string message;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(ended_, [](pid_t pid) {
            const pid_t ended = ::waitpid(pid, nullptr, WNOHANG);
            return ended == pid || (ended < 0 && errno == ECHILD);
        });
        if (pid_ <= 0) {
            // Not our child (started before this service): its lock tells whether it lives.
            if (!wanted_ || restarting_ || restartAt_ || ExtensionStatus::read(stateDirectory_).running) {
                return;
            }
            message = "the extension is no longer running";
        } else {
            int status = 0;
            const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
            if (ended != pid_) {
                return;
            }
            const pid_t pid = pid_;
            pid_ = 0;
            failedOpen_ = false;
            asio::post(io_, [self = shared_from_this()] {
                ++self->generation_;
                self->beats_.reset();
            });
            if (pid == expectedExit_ || !wanted_) {
                return;
            }
            message = "the extension (pid " + std::to_string(pid) + ") " + exitReason(status);
            if (Clock::now() - startedAt_ >= timing_.stableRun) {
                backoff_ = std::chrono::milliseconds(0);
            }
        }
        backoff_ = backoff_.count() == 0 ? timing_.firstBackoff : std::min(backoff_ * 2, timing_.maxBackoff);
        restartAt_ = Clock::now() + backoff_;
        message += "; restarting it in " + seconds(backoff_);
    }
    log_(message);
}

void ExtensionSupervisor::checkSilence() {
    pid_t pid = 0;
    {
        std::lock_guard lock(mutex_);
        if (pid_ <= 0 || failedOpen_ || restarting_ || Clock::now() - lastBeat_ < timing_.silence) {
            return;
        }
        failedOpen_ = true;
        pid = pid_;
    }
    failOpen(pid);
}

void ExtensionSupervisor::failOpen(pid_t pid) {
    const auto removal = KernelRedirection::removeFor(pid);
    std::string message = "the extension (pid " + std::to_string(pid) + ") has not answered for " +
                          seconds(timing_.silence) + "; its redirection is removed and traffic goes direct (" +
                          std::to_string(removal.links) + " kernel links detached" +
                          (removal.table ? ", nftables table deleted" : "") + ")";
    log_(message);
    if (removal.remaining) {
        // What only its end can free: end it, and the restart brings the redirection back.
        log_("ending the extension (pid " + std::to_string(pid) + "), " + removal.problem);
        ::kill(pid, SIGKILL);
    }
}

void ExtensionSupervisor::tick() {
    reap();
    checkSilence();
    std::optional<std::string> due;
    {
        std::lock_guard lock(mutex_);
        if (restartAt_ && Clock::now() >= *restartAt_ && wanted_ && pid_ <= 0 && !restarting_) {
            restartAt_.reset();
            restarting_ = true;
            due = identifier_;
        }
    }
    if (due) {
        worker_([self = shared_from_this()] { self->restart("after it ended"); });
    }
    const auto published = ExtensionConnection::readStatus(stateDirectory_);
    bool changed = false;
    NEVPNStatus shown;
    {
        std::lock_guard lock(mutex_);
        shown = failedOpen_ && published != NEVPNStatus::disconnected ? NEVPNStatus::reasserting : published;
        changed = shown != lastShown_;
        lastShown_ = shown;
    }
    if (changed) {
        observer_(shown);
    }
    timer_.expires_after(timing_.tick);
    timer_.async_wait([self = shared_from_this()](const std::error_code& error) {
        if (!error) {
            self->tick();
        }
    });
}

}  // namespace sentorix::linux_system
