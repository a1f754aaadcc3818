#include "ExtensionSupervisor.h"
#include "ExtensionConnection.h"
#include "FakeExtension.h"
#include "ManualClock.h"
#include "StateDirectory.h"
#include "UniqueFd.h"
#include "UnixFrameServer.h"

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <future>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace sentorix::linux_system {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

constexpr const char* Identifier = "com.sentorix.desktop.extension";

// A supervisor on real processes (the stand-in extension script) and a real worker thread, on the
// manual clock: the test moves time a tick at a time while the processes act in real time.
class ExtensionSupervisorTest : public ::testing::Test {
protected:
    void SetUp() override {
        activate("run");
        workerThread = std::thread([this] { work.run(); });
        ExtensionSupervisor::Timing timing;
        timing.tick = Tick;
        timing.silence = 600ms;
        timing.giveUp = 3s;
        timing.firstBackoff = 100ms;
        timing.maxBackoff = 400ms;
        ExtensionSupervisor::Redirection redirection{[this](pid_t pid, std::string& done) {
                                                         std::lock_guard lock(mutex);
                                                         removedFrom.push_back(pid);
                                                         done = "removed";
                                                         return true;
                                                     },
                                                     [this](pid_t pid) {
                                                         std::lock_guard lock(mutex);
                                                         restoredTo.push_back(pid);
                                                     }};
        supervisor = std::make_shared<ExtensionSupervisor>(
            state.path(), [this](std::function<void()> block) { asio::post(work, std::move(block)); },
            [this](const std::string& line) {
                std::lock_guard lock(mutex);
                lines.push_back(line);
            },
            [this](NEVPNStatus status) {
                std::lock_guard lock(mutex);
                pushed.push_back(status);
            },
            timing, clock, redirection);
        supervisor->watch();
    }
    void TearDown() override {
        onWorker([this] { supervisor->stop(); });
        supervisor.reset();
        workGuard.reset();
        work.stop();
        workerThread.join();
        ExtensionConnection::stopExtension(state.path());
    }
    void activate(const std::string& mode) { activateFakeExtension(state.path(), mode); }
    template <typename Block>
    auto onWorker(Block block) -> decltype(block()) {
        std::promise<decltype(block())> result;
        asio::post(work, [&] {
            if constexpr (std::is_void_v<decltype(block())>) {
                block();
                result.set_value();
            } else {
                result.set_value(block());
            }
        });
        return result.get_future().get();
    }
    // Ticks until `done`, giving the processes and the worker real time between ticks; false past `bound`
    // of real time.
    template <typename Done>
    bool tickUntil(Done done, std::chrono::milliseconds bound = 8s) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            clock->advance(Tick);
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    // The extension's process if its status file says `word`, 0 otherwise.
    pid_t publishedPid(const std::string& word = "connected") const {
        std::ifstream in(StateDirectory::statusPath(state.path()));
        std::string published, pid;
        std::getline(in, published);
        std::getline(in, pid);
        return published == word && !pid.empty() ? std::stoi(pid) : 0;
    }
    // Ticks until an extension other than `other` is connected and watched.
    pid_t waitForNewPid(pid_t other) {
        pid_t found = 0;
        tickUntil([&] {
            const pid_t pid = publishedPid();
            found = pid > 0 && pid != other && ::kill(pid, 0) == 0 &&
                            supervisor->phase() == ExtensionSupervisor::Phase::running
                        ? pid
                        : 0;
            return found != 0;
        });
        return found;
    }
    bool logged(const std::string& part) {
        std::lock_guard lock(mutex);
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.find(part) != std::string::npos; });
    }
    std::vector<std::string> logCopy() {
        std::lock_guard lock(mutex);
        return lines;
    }
    // Stops the extension and ticks until the supervisor has failed open.
    void silence(pid_t pid) {
        ::kill(pid, SIGSTOP);
        std::this_thread::sleep_for(150ms);  // the beats already written are read as before the stop
        ASSERT_TRUE(tickUntil([&] { return supervisor->phase() == ExtensionSupervisor::Phase::failedOpen; }));
    }

    static constexpr std::chrono::milliseconds Tick{50};
    TempDir state;
    std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
    asio::io_context work;
    asio::executor_work_guard<asio::io_context::executor_type> workGuard = asio::make_work_guard(work);
    std::thread workerThread;
    std::shared_ptr<ExtensionSupervisor> supervisor;
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<NEVPNStatus> pushed;
    std::vector<pid_t> removedFrom;
    std::vector<pid_t> restoredTo;
};

TEST_F(ExtensionSupervisorTest, RestartsAnExtensionThatDiesAndHandsItNoneOfItsSockets) {
    // A socket of the service's, as Asio opens them: not close-on-exec.
    const UniqueFd serviceSocket(::socket(AF_UNIX, SOCK_STREAM, 0));
    struct stat identity {};
    ASSERT_EQ(::fstat(serviceSocket.get(), &identity), 0);
    ASSERT_FALSE(onWorker([this] { return supervisor->start(Identifier); }));
    std::ifstream handed(state.path() + "/extension.fds");
    const std::string fds((std::istreambuf_iterator<char>(handed)), std::istreambuf_iterator<char>());
    EXPECT_EQ(fds.find("socket:[" + std::to_string(identity.st_ino) + "]"), std::string::npos)
        << "the extension inherits none of the service's sockets";

    const pid_t first = waitForNewPid(0);
    ASSERT_GT(first, 0);

    ::kill(first, SIGKILL);
    const pid_t second = waitForNewPid(first);
    EXPECT_GT(second, 0) << "restarted after it was killed";
    EXPECT_TRUE(logged("was killed by signal 9 (SIGKILL); restarting it in 0.1 s"));
}

TEST_F(ExtensionSupervisorTest, BacksOffWhileTheExtensionKeepsFailingToStart) {
    ASSERT_FALSE(onWorker([this] { return supervisor->start(Identifier); }));
    ASSERT_GT(waitForNewPid(0), 0);
    activate("crash");
    ::kill(publishedPid(), SIGKILL);
    std::vector<std::string> delays;
    tickUntil([&] {
        delays.clear();
        for (const auto& line : logCopy()) {
            if (const auto at = line.find("next try in "); at != std::string::npos) {
                delays.push_back(line.substr(at + 12));
            }
        }
        return delays.size() >= 3;
    });
    ASSERT_GE(delays.size(), 3u) << "restarts keep being tried";
    EXPECT_TRUE(logged("; it exited with status 3; next try in")) << "how it ended is told";
    EXPECT_EQ(delays[0], "0.2 s");
    EXPECT_EQ(delays[1], "0.4 s");
    EXPECT_EQ(delays[2], "0.4 s") << "the back-off stops growing at its bound";

    activate("run");
    EXPECT_GT(waitForNewPid(0), 0) << "a later try succeeds once the extension can start";
}

TEST_F(ExtensionSupervisorTest, AnExtensionKilledWhileStartingIsReportedWithItsSignalAndStartedAgain) {
    ASSERT_FALSE(onWorker([this] { return supervisor->start(Identifier); }));
    const pid_t first = waitForNewPid(0);
    ASSERT_GT(first, 0);
    activate("slow");
    ::kill(first, SIGKILL);
    // The restart's extension, still connecting, is killed too: the service must not take it for a
    // start that failed by itself, nor lose track of the next one.
    pid_t starting = 0;
    tickUntil([&] { return (starting = publishedPid("connecting")) != 0; });
    ASSERT_GT(starting, 0);
    activate("run");
    ::kill(starting, SIGKILL);
    const pid_t third = waitForNewPid(first);
    EXPECT_GT(third, 0) << "started again after the back-off";
    EXPECT_NE(third, starting);
    EXPECT_TRUE(logged("exited while starting; see " + StateDirectory::logPath(state.path()) +
                       "; it was killed by signal 9 (SIGKILL); next try in"));
}

TEST_F(ExtensionSupervisorTest, ASilentExtensionFailsOpenAndGetsItsRedirectionBackWithoutARestart) {
    ASSERT_FALSE(onWorker([this] { return supervisor->start(Identifier); }));
    const pid_t first = waitForNewPid(0);
    ASSERT_GT(first, 0);
    silence(first);
    EXPECT_TRUE(logged("(pid " + std::to_string(first) + ") has not answered for 0.6 s; removed"));
    EXPECT_EQ(supervisor->status(), NEVPNStatus::reasserting);
    clock->advance(Tick);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(removedFrom, std::vector<pid_t>{first});
        EXPECT_NE(std::find(pushed.begin(), pushed.end(), NEVPNStatus::reasserting), pushed.end())
            << "subscribers hear that traffic goes direct";
    }
    clock->advance(2s);
    EXPECT_EQ(::kill(first, 0), 0) << "not ended before it was silent for the whole bound";

    ::kill(first, SIGCONT);
    ASSERT_TRUE(tickUntil([&] { return supervisor->phase() == ExtensionSupervisor::Phase::running; }));
    EXPECT_TRUE(logged("answers again after 2."));
    EXPECT_EQ(publishedPid(), first) << "the same extension, with its tunnels";
    EXPECT_EQ(supervisor->status(), NEVPNStatus::connected);
    std::lock_guard lock(mutex);
    EXPECT_EQ(restoredTo, std::vector<pid_t>{first});
    EXPECT_EQ(removedFrom.size(), 1u);
}

TEST_F(ExtensionSupervisorTest, AnExtensionSilentForTheWholeBoundIsEndedAndRestarted) {
    ASSERT_FALSE(onWorker([this] { return supervisor->start(Identifier); }));
    const pid_t first = waitForNewPid(0);
    ASSERT_GT(first, 0);
    silence(first);
    clock->advance(2300ms);  // silent for less than 3 s since its last beat
    EXPECT_FALSE(logged("ending it"));
    const pid_t second = waitForNewPid(first);
    EXPECT_GT(second, 0) << "a stuck extension is replaced";
    EXPECT_TRUE(logged("has not answered for 3 s; ending it"));
    EXPECT_TRUE(logged("(pid " + std::to_string(first) + ") was killed by signal 9 (SIGKILL); restarting it in 0.1 s"));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(restoredTo.empty()) << "a replaced extension installs its own redirection";
}

TEST_F(ExtensionSupervisorTest, AStoppedExtensionIsNotWatchedAnyMore) {
    ASSERT_FALSE(onWorker([this] { return supervisor->start(Identifier); }));
    const pid_t first = waitForNewPid(0);
    ASSERT_GT(first, 0);
    onWorker([this] { supervisor->stop(); });
    EXPECT_EQ(supervisor->phase(), ExtensionSupervisor::Phase::stopped);
    clock->advance(10s);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(publishedPid(), 0) << "a stop is not undone by a restart";
    EXPECT_NE(::kill(first, 0), 0);
    std::lock_guard lock(mutex);
    EXPECT_TRUE(removedFrom.empty()) << "a stopped extension is not silent";
}

}  // namespace
}  // namespace sentorix::linux_system
