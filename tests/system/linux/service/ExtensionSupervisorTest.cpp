#include "ExtensionSupervisor.h"
#include "ExtensionConnection.h"
#include "FakeExtension.h"
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

// A supervisor on real processes: the stand-in extension script, an io_context thread and a worker
// thread, with timings short enough for a test.
class ExtensionSupervisorTest : public ::testing::Test {
protected:
    void SetUp() override {
        activate("run");
        ioThread = std::thread([this] { io.run(); });
        workerThread = std::thread([this] { work.run(); });
        ExtensionSupervisor::Timing timing;
        timing.tick = 50ms;
        timing.silence = 600ms;
        timing.firstBackoff = 100ms;
        timing.maxBackoff = 400ms;
        supervisor = std::make_shared<ExtensionSupervisor>(
            io, state.path(), [this](std::function<void()> block) { asio::post(work, std::move(block)); },
            [this](const std::string& line) {
                std::lock_guard lock(mutex);
                lines.push_back(line);
            },
            [this](NEVPNStatus status) {
                std::lock_guard lock(mutex);
                pushed.push_back(status);
            },
            timing);
        asio::post(io, [this] { supervisor->watch(); });
    }
    void TearDown() override {
        onWorker([this] { supervisor->stop(); });
        ioGuard.reset();
        workGuard.reset();
        io.stop();
        work.stop();
        ioThread.join();
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
    // The extension's process if its status file says `word`, 0 otherwise.
    pid_t publishedPid(const std::string& word = "connected") const {
        std::ifstream in(StateDirectory::statusPath(state.path()));
        std::string published, pid;
        std::getline(in, published);
        std::getline(in, pid);
        return published == word && !pid.empty() ? std::stoi(pid) : 0;
    }
    // Waits for a connected extension other than `other`.
    pid_t waitForNewPid(pid_t other, std::chrono::milliseconds bound = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < deadline) {
            const pid_t pid = publishedPid();
            if (pid > 0 && pid != other && ::kill(pid, 0) == 0) {
                return pid;
            }
            std::this_thread::sleep_for(20ms);
        }
        return 0;
    }
    bool logged(const std::string& part) {
        std::lock_guard lock(mutex);
        for (const auto& line : lines) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    std::vector<std::string> logCopy() {
        std::lock_guard lock(mutex);
        return lines;
    }

    TempDir state;
    asio::io_context io;
    asio::io_context work;
    asio::executor_work_guard<asio::io_context::executor_type> ioGuard = asio::make_work_guard(io);
    asio::executor_work_guard<asio::io_context::executor_type> workGuard = asio::make_work_guard(work);
    std::thread ioThread;
    std::thread workerThread;
    std::shared_ptr<ExtensionSupervisor> supervisor;
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<NEVPNStatus> pushed;
};

TEST_F(ExtensionSupervisorTest, RestartsAnExtensionThatDiesButNotOneThatWasStopped) {
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

    onWorker([this] { supervisor->stop(); });
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(publishedPid(), 0) << "a stop is not undone by a restart";
    EXPECT_NE(::kill(second, 0), 0);
}

TEST_F(ExtensionSupervisorTest, BacksOffWhileTheExtensionKeepsFailingToStart) {
    ASSERT_FALSE(onWorker([this] { return supervisor->start(Identifier); }));
    ASSERT_GT(waitForNewPid(0), 0);
    activate("crash");
    ::kill(publishedPid(), SIGKILL);
    std::vector<std::string> delays;
    const auto deadline = std::chrono::steady_clock::now() + 8s;
    while (delays.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        delays.clear();
        for (const auto& line : logCopy()) {
            if (const auto at = line.find("next try in "); at != std::string::npos) {
                delays.push_back(line.substr(at + 12));
            }
        }
    }
    ASSERT_GE(delays.size(), 3u) << "restarts keep being tried";
    EXPECT_TRUE(logged("; it exited with status 3; next try in")) << "how it ended is told";
    EXPECT_EQ(delays[0], "0.2 s");
    EXPECT_EQ(delays[1], "0.4 s");
    EXPECT_EQ(delays[2], "0.4 s") << "the back-off stops growing at its bound";

    activate("run");
    EXPECT_GT(waitForNewPid(0, 3s), 0) << "a later try succeeds once the extension can start";
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
    for (auto deadline = std::chrono::steady_clock::now() + 5s; !starting && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(10ms)) {
        starting = publishedPid("connecting");
    }
    ASSERT_GT(starting, 0);
    activate("run");
    ::kill(starting, SIGKILL);
    const pid_t third = waitForNewPid(first, 5s);
    EXPECT_GT(third, 0) << "started again after the back-off";
    EXPECT_NE(third, starting);
    EXPECT_TRUE(logged("exited while starting; see " + StateDirectory::logPath(state.path()) +
                       "; it was killed by signal 9 (SIGKILL); next try in"));
}

TEST_F(ExtensionSupervisorTest, ASilentExtensionIsReportedThenRestartedWhenItAnswersAgain) {
    ASSERT_FALSE(onWorker([this] { return supervisor->start(Identifier); }));
    const pid_t first = waitForNewPid(0);
    ASSERT_GT(first, 0);
    ::kill(first, SIGSTOP);
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!logged("has not answered") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(logged("has not answered for 0.6 s; its redirection is removed"));
    EXPECT_EQ(supervisor->status(), NEVPNStatus::reasserting);
    std::this_thread::sleep_for(200ms);
    {
        std::lock_guard lock(mutex);
        EXPECT_NE(std::find(pushed.begin(), pushed.end(), NEVPNStatus::reasserting), pushed.end())
            << "subscribers hear that traffic goes direct";
    }
    EXPECT_EQ(::kill(first, 0), 0) << "a stopped extension is not killed for its silence";

    ::kill(first, SIGCONT);
    const pid_t second = waitForNewPid(first);
    EXPECT_GT(second, 0) << "restarted once it answered again";
    EXPECT_TRUE(logged("answers again"));
}

}  // namespace
}  // namespace sentorix::linux_system
