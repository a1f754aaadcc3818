#pragma once

#include "NEVPNStatus.h"
#include "NSError.h"

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sentorix::linux_system {

// Starts and stops the extension for the service and watches it while it is wanted:
// - it beats on a pipe; after `silence` without a beat its kernel redirection is removed (traffic
//   goes direct), and once it beats again it is restarted, which installs the redirection anew;
// - when it ends without being asked to, it is restarted after a back-off that doubles from
//   `firstBackoff` to `maxBackoff` and starts over once a run lasted `stableRun`.
// Starts and stops block (bounded) and run on the caller's thread; the watching runs on the
// io_context, and restarts are handed to `worker`, the thread the caller's starts and stops run on.
class ExtensionSupervisor : public std::enable_shared_from_this<ExtensionSupervisor> {
public:
    struct Timing {
        std::chrono::milliseconds tick{250};
        std::chrono::milliseconds silence{2000};
        std::chrono::milliseconds firstBackoff{1000};
        std::chrono::milliseconds maxBackoff{30000};
        std::chrono::milliseconds stableRun{30000};
    };
    using Worker = std::function<void(std::function<void()>)>;
    using Log = std::function<void(const std::string&)>;
    using StatusObserver = std::function<void(NEVPNStatus)>;

    ExtensionSupervisor(asio::io_context& io, std::string stateDirectory, Worker worker, Log log,
                        StatusObserver observer, Timing timing);
    ExtensionSupervisor(asio::io_context& io, std::string stateDirectory, Worker worker, Log log,
                        StatusObserver observer)
        : ExtensionSupervisor(io, std::move(stateDirectory), std::move(worker), std::move(log), std::move(observer),
                              Timing{}) {}

    void watch();
    // On the worker. Starts the activated extension `identifier` unless it runs, and wants it from now on.
    OptionalError start(const std::string& identifier);
    // On the worker. Stops it and no longer wants it.
    void stop();
    // Reasserting while its redirection is removed.
    NEVPNStatus status() const;

private:
    using Clock = std::chrono::steady_clock;

    OptionalError launch(const std::string& identifier);
    void restart(const std::string& reason);
    void tick();
    void readBeats();
    void reap();
    void checkSilence();
    void failOpen(pid_t pid);

    asio::io_context& io_;
    const std::string stateDirectory_;
    const Worker worker_;
    const Log log_;
    const StatusObserver observer_;
    const Timing timing_;
    asio::steady_timer timer_;

    mutable std::mutex mutex_;
    bool wanted_ = false;
    std::string identifier_;
    pid_t pid_ = 0;             // our child, while it runs
    pid_t expectedExit_ = 0;    // a child we are stopping ourselves
    Clock::time_point lastBeat_{};
    Clock::time_point startedAt_{};
    bool failedOpen_ = false;
    bool restarting_ = false;
    std::chrono::milliseconds backoff_{0};
    std::optional<Clock::time_point> restartAt_;
    NEVPNStatus lastShown_ = NEVPNStatus::invalid;  // as last pushed
    std::vector<pid_t> ended_;                       // children replaced before they were reaped
    // Only on the io_context's thread.
    std::unique_ptr<asio::posix::stream_descriptor> beats_;
    unsigned generation_ = 0;
};

}  // namespace sentorix::linux_system
