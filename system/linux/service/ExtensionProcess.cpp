#include "ExtensionProcess.h"

#include "ExtensionConnection.h"
#include "ExtensionStatus.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

namespace sentorix::linux_system {

namespace {

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

// An ExtensionProcess with the state directory its stop goes through.
class ChildRun final : public ExtensionRun {
public:
    ChildRun(ExtensionProcess process, std::string stateDirectory)
        : process_(std::move(process)), stateDirectory_(std::move(stateDirectory)) {}

    pid_t pid() const override { return process_.pid(); }
    bool beatsArrived() override { return process_.beatsArrived(); }
    std::optional<std::string> ended() override { return process_.ended(); }
    void signal(int number) override { process_.signal(number); }
    bool end() override { return process_.end(stateDirectory_); }

private:
    ExtensionProcess process_;
    const std::string stateDirectory_;
};

}  // namespace

Result<std::unique_ptr<ExtensionRun>> ChildExtensionLauncher::launch(const std::string& identifier) {
    auto launched = ExtensionProcess::launch(stateDirectory_, identifier);
    if (!launched) {
        return launched.error();
    }
    if (!*launched) {
        return std::unique_ptr<ExtensionRun>();
    }
    return std::unique_ptr<ExtensionRun>(std::make_unique<ChildRun>(std::move(**launched), stateDirectory_));
}

bool ChildExtensionLauncher::running() const { return ExtensionStatus::read(stateDirectory_).running; }

NEVPNStatus ChildExtensionLauncher::published() const { return ExtensionConnection::readStatus(stateDirectory_); }

void ChildExtensionLauncher::stopUnowned() { ExtensionConnection::stopExtension(stateDirectory_); }

std::string ExtensionProcess::exitReason(int status) {
    if (WIFSIGNALED(status)) {
        const int number = WTERMSIG(status);
        const char* name = ::sigabbrev_np(number);
        return std::string("was killed by signal ") + std::to_string(number) +
               (name ? std::string(" (SIG") + name + ")" : "");
    }
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

Result<std::optional<ExtensionProcess>> ExtensionProcess::launch(const std::string& stateDirectory,
                                                                 const std::string& identifier) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return NSError(ExtensionConnection::ErrorDomain, ExtensionConnection::ConnectionFailed,
                       std::string("Cannot watch the extension: ") + std::strerror(errno));
    }
    UniqueFd reader(ends[0]);
    UniqueFd writer(ends[1]);
    // The extension's end blocks never: it drops a beat rather than wait.
    ExtensionConnection connection(stateDirectory, identifier);
    connection.superviseWith(writer.get());
    const OptionalError error = connection.startVPNTunnel();
    writer.reset();
    const pid_t pid = connection.launchedPid();
    if (pid <= 0) {
        return error ? Result<std::optional<ExtensionProcess>>(*error) : std::optional<ExtensionProcess>();
    }
    if (error) {
        // A start that failed is answered here, not taken for a crash by the watch as well. One that
        // has already ended says how: killed from outside while starting reads otherwise like a fault.
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return NSError(error->domain(), error->code(), error->localizedDescription() + "; it " + exitReason(status));
        }
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return *error;
    }
    return std::optional<ExtensionProcess>(ExtensionProcess(pid, std::move(reader)));
}

bool ExtensionProcess::beatsArrived() {
    bool arrived = false;
    std::array<char, 256> buffer;
    while (beats_.valid()) {
        const ssize_t got = ::read(beats_.get(), buffer.data(), buffer.size());
        if (got > 0) {
            arrived = true;
            continue;
        }
        if (got == 0) {
            beats_.reset();  // its end: the reaping tells how it ended
        }
        break;
    }
    return arrived;
}

std::optional<std::string> ExtensionProcess::ended() {
    if (reaped_) {
        return "ended";
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) {
        return std::nullopt;
    }
    reaped_ = true;
    return exitReason(status);
}

void ExtensionProcess::signal(int number) const {
    if (!reaped_) {
        ::kill(pid_, number);
    }
}

bool ExtensionProcess::end(const std::string& stateDirectory) {
    if (reaped_) {
        return true;
    }
    ExtensionConnection::stopExtension(stateDirectory);
    reaped_ = reapWithin(pid_, std::chrono::seconds(3));
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        reaped_ = reapWithin(pid_, std::chrono::seconds(2));
    }
    return reaped_;
}

void UnreapedChildren::reap() {
    std::erase_if(pids_, [](pid_t pid) {
        const pid_t ended = ::waitpid(pid, nullptr, WNOHANG);
        return ended == pid || (ended < 0 && errno == ECHILD);
    });
}

}  // namespace sentorix::linux_system
