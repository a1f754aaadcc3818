#include "ExtensionConnection.h"
#include "JournalSender.h"

#include "ExtensionStatus.h"
#include "HostOperationLock.h"
#include "ProcFS.h"
#include "PropertyListFile.h"
#include "SecureDirectory.h"
#include "StateDirectory.h"
#include "UniqueFd.h"
#include "WholeBuffer.h"
#include "NSNotificationCenter.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace sentorix::linux_system {

namespace {

using namespace std::chrono_literals;

NSError connectionError(long code, const std::string& description) {
    return NSError(ExtensionConnection::ErrorDomain, code, description);
}

// All of a value the child sends through the pipe, or nothing.
template <class Value>
bool readWhole(int fd, Value& value) {
    return WholeBuffer::read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

// Runs the program open at `program` (checked by the caller, executed as it is, so nothing can be
// swapped in between) in a session of its own, reparented away from us (double fork), its output
// appended to `log`. `name` is its argv[0]. Gives its pid, or an error when it could not be executed.
Result<pid_t> launchDetached(const UniqueFd& program, bool script, const std::string& name,
                             const std::string& stateDirectory, const UniqueFd& log, int heartbeat) {
    // Everything the children use is prepared here: between fork and exec only async-signal-safe calls.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "SENTORIX_STATE_DIR=", 19) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back(std::string(StateDirectory::Variable) + "=" + stateDirectory);
    if (heartbeat >= 0) {
        environment.push_back("SENTORIX_HEARTBEAT_FD=" + std::to_string(heartbeat));
    }
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string argument0 = name;
    char* argv[] = {argument0.data(), nullptr};

    UniqueFd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    int report[2];
    if (!input.valid() || ::pipe2(report, O_CLOEXEC) != 0) {
        return connectionError(ExtensionConnection::ConnectionFailed,
                                "Cannot prepare the extension's process: " + std::string(std::strerror(errno)));
    }
    UniqueFd reader(report[0]);
    UniqueFd writer(report[1]);

    const pid_t child = ::fork();
    if (child < 0) {
        return connectionError(ExtensionConnection::ConnectionFailed,
                                "Cannot start the extension: " + std::string(std::strerror(errno)));
    }
    if (child == 0) {
        ::setsid();
        // Only what is handed over reaches the extension: a caller's sockets need not be close-on-exec
        // (Asio's are not), and an extension holding the service's socket would outlive it there.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = 3; fd < 65536; ++fd) {
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
        }
        // A supervised extension stays our child, so that its end is seen and its status read.
        const pid_t grandchild = heartbeat >= 0 ? 0 : ::fork();
        if (grandchild != 0) {
            const int32_t value = grandchild;
            [[maybe_unused]] auto written = ::write(writer.get(), &value, sizeof value);
            ::_exit(0);
        }
        if (heartbeat >= 0) {
            ::fcntl(heartbeat, F_SETFD, 0);
        }
        ::dup2(input.get(), STDIN_FILENO);
        ::dup2(log.get(), STDOUT_FILENO);
        ::dup2(log.get(), STDERR_FILENO);
        if (script) {
            // An interpreter reopens its script through the descriptor, which must survive the exec.
            ::fcntl(program.get(), F_SETFD, 0);
        }
        ::fexecve(program.get(), argv, envp.data());
        const int32_t failure = errno;
        [[maybe_unused]] auto written = ::write(writer.get(), &failure, sizeof failure);
        ::_exit(127);
    }
    writer.reset();
    int32_t pid = child;
    int32_t failure = 0;
    if (heartbeat < 0) {
        int childStatus = 0;
        while (::waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
        }
        if (!readWhole(reader.get(), pid) || pid <= 0) {
            return connectionError(ExtensionConnection::ConnectionFailed, "Cannot start the extension");
        }
    }
    if (readWhole(reader.get(), failure)) {
        if (heartbeat >= 0) {
            while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        return connectionError(ExtensionConnection::ConnectionFailed,
                                "Cannot run " + name + ": " + std::strerror(failure));
    }
    return static_cast<pid_t>(pid);
}

// The activated extension's program, opened through directories that nobody but root can change.
struct ActivatedProgram {
    UniqueFd file;
    std::string name;  // its path, for argv[0]
    bool script = false;
};

Result<ActivatedProgram> openActivatedProgram(const SecureDirectory& state, const std::string& identifier) {
    const std::string bundlePath = StateDirectory::activatedExtensionPath(state.path(), identifier);
    const auto notActivated = [&]() -> Result<ActivatedProgram> {
        return connectionError(ExtensionConnection::ConfigurationInvalid,
                               "The system extension " + identifier + " is not activated (no bundle at " +
                                   bundlePath + ")");
    };
    const auto refused = [&](const std::string& problem) -> Result<ActivatedProgram> {
        return connectionError(ExtensionConnection::ConfigurationInvalid, problem);
    };
    // What is not there is not activated; what is there and refused says why.
    const auto absentOrRefused = [&](const NSError& failed) {
        return Result<int>::isMissing(failed) ? notActivated() : refused(failed.localizedDescription());
    };
    auto extensions = state.openDirectory(StateDirectory::ExtensionsName, false);
    if (!extensions) {
        return absentOrRefused(extensions.error());
    }
    auto bundle = extensions->openDirectory(StateDirectory::activatedExtensionName(identifier), false);
    if (!bundle) {
        return absentOrRefused(bundle.error());
    }
    auto contents = bundle->openDirectory("Contents", false);
    if (!contents) {
        return absentOrRefused(contents.error());
    }
    const auto info = contents->readFile("Info.plist", PropertyListFile::MaximumSize + 1);
    if (!info && !info.missing()) {
        return refused(info.error().localizedDescription());
    }
    // An Info.plist that is not one is no activated bundle.
    const auto value = info ? PropertyListFile::parse(*info, contents->pathOf("Info.plist"))
                            : Result<PropertyListValue>(info.error());
    const auto* dictionary = value ? value->get<PropertyListValue::Dictionary>() : nullptr;
    const auto found = dictionary ? dictionary->find("CFBundleExecutable") : PropertyListValue::Dictionary::const_iterator{};
    const auto* executable = dictionary && found != dictionary->end() ? found->second.get<std::string>() : nullptr;
    if (!executable) {
        return notActivated();
    }
    if (executable->empty() || executable->find('/') != std::string::npos || *executable == "." || *executable == "..") {
        return refused("Refusing " + bundlePath + ": its executable name \"" + *executable + "\" is not a file name");
    }
    auto macOS = contents->openDirectory("MacOS", false);
    if (!macOS) {
        return absentOrRefused(macOS.error());
    }
    auto opened = macOS->openFile(*executable, O_RDONLY);
    if (!opened) {
        return absentOrRefused(opened.error());
    }
    ActivatedProgram program{std::move(*opened), macOS->pathOf(*executable)};
    char start[2] = {};
    program.script = ::pread(program.file.get(), start, sizeof start, 0) == 2 && start[0] == '#' && start[1] == '!';
    return program;
}
NEVPNStatus statusOf(const ExtensionStatus& published) {
    if (!published.running) {
        return NEVPNStatus::disconnected;
    }
    if (published.word == "connected") {
        return NEVPNStatus::connected;
    }
    if (published.word == "disconnecting") {
        return NEVPNStatus::disconnecting;
    }
    return NEVPNStatus::connecting;
}

}  // namespace

std::shared_ptr<ExtensionConnection> ExtensionConnection::create(std::string stateDirectory,
                                                                 std::string extensionIdentifier,
                                                                 std::chrono::milliseconds pollInterval) {
    auto connection = std::make_shared<ExtensionConnection>(std::move(stateDirectory), std::move(extensionIdentifier));
    connection->lastStatus_ = connection->status();
    connection->timer_ = DispatchSourceTimer::create(
        DispatchQueue::create("com.sentorix.connectionStatus", DispatchQueue::Kind::Serial,
                              DispatchQueue::Work::MayWait));
    connection->timer_->schedule(pollInterval, pollInterval);
    connection->timer_->setEventHandler([weak = std::weak_ptr<ExtensionConnection>(connection)] {
        if (auto self = weak.lock()) {
            self->poll();
        }
    });
    connection->timer_->resume();
    return connection;
}

ExtensionConnection::ExtensionConnection(std::string stateDirectory, std::string extensionIdentifier)
    : stateDirectory_(std::move(stateDirectory)), extensionIdentifier_(std::move(extensionIdentifier)) {}

ExtensionConnection::~ExtensionConnection() {
    if (timer_) {
        timer_->cancel();
    }
}

NEVPNStatus ExtensionConnection::readStatus(const std::string& stateDirectory) {
    return statusOf(ExtensionStatus::read(stateDirectory));
}

NEVPNStatus ExtensionConnection::status() const { return readStatus(stateDirectory_); }

void ExtensionConnection::poll() {
    const NEVPNStatus current = status();
    {
        std::lock_guard lock(mutex_);
        if (current == lastStatus_) {
            return;
        }
        lastStatus_ = current;
    }
    NSNotificationCenter::defaultCenter().post(NEVPNStatusDidChangeNotification, this);
}

OptionalError ExtensionConnection::startVPNTunnel() {
    const auto state = SecureDirectory::open(stateDirectory_, true);
    if (!state) {
        return connectionError(ConfigurationInvalid, state.error().localizedDescription());
    }
    auto& operation = HostOperationLock::shared();
    if (auto held = operation.hold(*state); !held) {
        return connectionError(ConfigurationInvalid, held.error().localizedDescription());
    }
    // Whatever happens below, the next host may go on once this start has ended.
    const std::unique_ptr<HostOperationLock, void (*)(HostOperationLock*)> releasing(
        &operation, [](HostOperationLock* held) { held->release(); });
    if (ExtensionStatus::read(*state).running) {
        return std::nullopt;
    }
    const auto program = openActivatedProgram(*state, extensionIdentifier_);
    if (!program) {
        return program.error();
    }
    // Under systemd the extension writes to the journal the service's own lines go to; run by hand, to
    // its file in the state directory.
    Result<UniqueFd> opened = JournalSender::standardErrorIsJournal()
                                  ? Result<UniqueFd>(UniqueFd(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)))
                                  : state->openFile(StateDirectory::LogName, O_WRONLY | O_CREAT | O_APPEND);
    if (!opened || !opened->valid()) {
        return connectionError(ConnectionFailed, opened ? std::string("Cannot pass the journal on to the extension")
                                                        : opened.error().localizedDescription());
    }
    const UniqueFd log = std::move(*opened);
    // What is there now is from an earlier run.
    state->removeFile(StateDirectory::StatusName);
    const auto launched = launchDetached(program->file, program->script, program->name, stateDirectory_, log, heartbeat_);
    if (!launched) {
        return launched.error();
    }
    const pid_t pid = *launched;
    launched_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + StartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto published = ExtensionStatus::read(*state);
        if (published.running && published.word == "connected") {
            return std::nullopt;
        }
        if (published.word == "disconnected" || !ProcFS().alive(pid)) {
            const std::string reason = published.lastError.empty()
                                           ? "the extension exited while starting; see " +
                                                 StateDirectory::logPath(stateDirectory_)
                                           : published.lastError;
            return connectionError(ConnectionFailed, reason);
        }
        std::this_thread::sleep_for(20ms);
    }
    // Still starting: the status notifications tell the rest.
    return std::nullopt;
}

void ExtensionConnection::stopVPNTunnel() {
    const auto state = SecureDirectory::open(stateDirectory_, false);
    if (!state) {
        return;  // nothing was ever started from there
    }
    auto& operation = HostOperationLock::shared();
    // Stopped even when the lock is refused: a stop must never be the thing that fails.
    const bool held = operation.hold(*state).ok();
    stopExtension(*state);
    if (held) {
        operation.release();
    }
}

void ExtensionConnection::stopExtension(const std::string& stateDirectory) {
    const auto state = SecureDirectory::open(stateDirectory, false);
    if (state) {
        stopExtension(*state);
    }
}

void ExtensionConnection::stopExtension(const SecureDirectory& state) {
    const auto published = ExtensionStatus::read(state);
    if (!published.running || published.pid <= 0) {
        return;
    }
    const auto waitForExit = [&](std::chrono::steady_clock::duration bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (ExtensionStatus::isLockHeld(state)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    };
    ::kill(published.pid, SIGTERM);
    if (!waitForExit(StopTimeout)) {
        ::kill(published.pid, SIGKILL);
        waitForExit(2s);
    }
}

}  // namespace sentorix::linux_system
