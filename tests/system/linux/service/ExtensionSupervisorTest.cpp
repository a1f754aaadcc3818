#include "ExtensionSupervisor.h"
#include "FakeSupervisedExtension.h"
#include "ManualClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sentorix::linux_system {
namespace {

using namespace std::chrono_literals;

constexpr const char* Identifier = "com.sentorix.desktop.extension";

// A supervisor on stand-in extensions, the manual clock and a worker the test runs itself: each step
// moves time, and every tick and the work they queued have run when it returns.
class ExtensionSupervisorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ExtensionSupervisor::Timing timing;
        timing.tick = Tick;
        timing.silence = 600ms;
        timing.giveUp = 3s;
        timing.firstBackoff = 100ms;
        timing.maxBackoff = 400ms;
        supervisor = std::make_shared<ExtensionSupervisor>(
            [this](std::function<void()> block) {
                std::lock_guard lock(mutex);
                queued.push_back(std::move(block));
            },
            [this](const std::string& line) {
                std::lock_guard lock(mutex);
                lines.push_back(line);
            },
            [this](NEVPNStatus status) {
                std::lock_guard lock(mutex);
                pushed.push_back(status);
            },
            timing, clock, std::make_shared<FakeLauncher>(extensions), redirection);
        supervisor->watch();
        clock->advance(0ms);
    }
    void TearDown() override { supervisor.reset(); }

    // Moves time by `by`, then does what the ticks left for the worker.
    void step(std::chrono::milliseconds by = Tick) {
        clock->advance(by);
        std::vector<std::function<void()>> blocks;
        {
            std::lock_guard lock(mutex);
            blocks.swap(queued);
        }
        for (auto& block : blocks) {
            block();
        }
    }
    // Steps a tick at a time until `done`, at most `ticks` times; whether it came.
    template <typename Done>
    bool stepUntil(Done done, int ticks = 200) {
        for (int i = 0; i < ticks && !done(); ++i) {
            step();
        }
        return done();
    }
    ExtensionSupervisor::Phase phase() const { return supervisor->phase(); }
    bool running() const { return phase() == ExtensionSupervisor::Phase::running; }
    pid_t started() {
        EXPECT_TRUE(supervisor->start(Identifier).ok());
        const auto run = extensions->last();
        return run ? run->pid : 0;
    }
    void kill(pid_t pid) {
        std::lock_guard lock(extensions->mutex);
        for (auto& run : extensions->runs) {
            if (run->pid == pid) {
                run->how = "was killed by signal 9 (SIGKILL)";
            }
        }
    }
    // Stops its beats and steps until the supervisor has failed open.
    void silence(const std::shared_ptr<FakeExtensions::Run>& run) {
        {
            std::lock_guard lock(extensions->mutex);
            run->beating = false;
        }
        ASSERT_TRUE(stepUntil([&] { return phase() == ExtensionSupervisor::Phase::failedOpen; }));
    }
    std::vector<int> signalsTo(const std::shared_ptr<FakeExtensions::Run>& run) const {
        std::lock_guard lock(extensions->mutex);
        return run->signals;
    }
    bool logged(const std::string& part) {
        std::lock_guard lock(mutex);
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.find(part) != std::string::npos; });
    }
    std::vector<std::string> delaysLogged(const std::string& after) {
        std::lock_guard lock(mutex);
        std::vector<std::string> delays;
        for (const auto& line : lines) {
            if (const auto at = line.find(after); at != std::string::npos) {
                delays.push_back(line.substr(at + after.size()));
            }
        }
        return delays;
    }

    static constexpr std::chrono::milliseconds Tick{50};
    const std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
    const std::shared_ptr<FakeExtensions> extensions = std::make_shared<FakeExtensions>();
    const std::shared_ptr<FakeRedirection> redirection = std::make_shared<FakeRedirection>();
    std::shared_ptr<ExtensionSupervisor> supervisor;
    std::mutex mutex;
    std::vector<std::function<void()>> queued;
    std::vector<std::string> lines;
    std::vector<NEVPNStatus> pushed;
};

TEST_F(ExtensionSupervisorTest, RestartsAnExtensionThatDiesAfterItsBackOff) {
    const pid_t first = started();
    ASSERT_GT(first, 0);
    EXPECT_TRUE(running());

    kill(first);
    step();
    EXPECT_TRUE(logged("the extension (pid " + std::to_string(first) +
                       ") was killed by signal 9 (SIGKILL); restarting it in 0.1 s"));
    EXPECT_EQ(phase(), ExtensionSupervisor::Phase::backingOff);
    step(50ms);
    EXPECT_EQ(extensions->launches(), 1u) << "not before its back-off";
    step(50ms);
    EXPECT_EQ(extensions->launches(), 2u);
    EXPECT_TRUE(running()) << "restarted after it was killed";
    EXPECT_NE(extensions->last()->pid, first);
    std::lock_guard lock(extensions->mutex);
    EXPECT_EQ(extensions->launched.back(), Identifier);
}

TEST_F(ExtensionSupervisorTest, BacksOffWhileTheExtensionKeepsFailingToStart) {
    const pid_t first = started();
    const std::string why = "the extension exited while starting; see extension.log; it exited with status 3";
    for (int i = 0; i < 3; ++i) {
        extensions->failNext(why);
    }
    kill(first);
    ASSERT_TRUE(stepUntil([&] { return delaysLogged("next try in ").size() >= 3; })) << "restarts keep being tried";
    EXPECT_TRUE(logged("the extension could not be restarted (after it ended): " + why + "; next try in 0.2 s"))
        << "how it ended is told";
    const auto delays = delaysLogged("next try in ");
    EXPECT_EQ(delays[0], "0.2 s");
    EXPECT_EQ(delays[1], "0.4 s");
    EXPECT_EQ(delays[2], "0.4 s") << "the back-off stops growing at its bound";

    EXPECT_TRUE(stepUntil([&] { return running(); })) << "a later try succeeds once the extension can start";
    EXPECT_EQ(extensions->launches(), 5u);
}

TEST_F(ExtensionSupervisorTest, AnExtensionKilledWhileStartingIsReportedWithItsSignalAndStartedAgain) {
    const pid_t first = started();
    // The restart's extension, still connecting, is killed too: the service must not take it for a
    // start that failed by itself, nor lose track of the next one.
    const std::string why =
        "the extension exited while starting; see extension.log; it was killed by signal 9 (SIGKILL)";
    extensions->failNext(why);
    kill(first);
    ASSERT_TRUE(stepUntil([&] { return extensions->launches() == 3 && running(); }));
    EXPECT_TRUE(logged("the extension could not be restarted (after it ended): " + why + "; next try in 0.2 s"));
    const pid_t third = extensions->last()->pid;
    EXPECT_NE(third, first) << "started again after the back-off";

    kill(third);
    step();
    EXPECT_TRUE(logged("(pid " + std::to_string(third) + ") was killed by signal 9 (SIGKILL); restarting it in"))
        << "the next one is watched";
}

TEST_F(ExtensionSupervisorTest, ASilentExtensionFailsOpenAndGetsItsRedirectionBackWithoutARestart) {
    const pid_t first = started();
    const auto run = extensions->last();
    step();
    silence(run);
    EXPECT_TRUE(logged("the extension (pid " + std::to_string(first) + ") has not answered for 0.6 s; removed"));
    EXPECT_EQ(supervisor->status(), NEVPNStatus::reasserting);
    step();
    {
        std::lock_guard lock(redirection->mutex);
        EXPECT_EQ(redirection->removedFrom, std::vector<pid_t>{first});
    }
    {
        std::lock_guard lock(mutex);
        EXPECT_NE(std::find(pushed.begin(), pushed.end(), NEVPNStatus::reasserting), pushed.end())
            << "subscribers hear that traffic goes direct";
    }
    step(2s);
    EXPECT_TRUE(signalsTo(run).empty()) << "not ended before it was silent for the whole bound";

    {
        std::lock_guard lock(extensions->mutex);
        run->beating = true;
    }
    step();
    EXPECT_TRUE(running());
    EXPECT_TRUE(logged("the extension (pid " + std::to_string(first) +
                       ") answers again after 2.7 s; its redirection is put back, its tunnels kept"));
    EXPECT_EQ(extensions->launches(), 1u) << "the same extension, with its tunnels";
    EXPECT_EQ(supervisor->status(), NEVPNStatus::connected);
    std::lock_guard lock(redirection->mutex);
    EXPECT_EQ(redirection->restoredTo, std::vector<pid_t>{first});
    EXPECT_EQ(redirection->removedFrom.size(), 1u);
}

TEST_F(ExtensionSupervisorTest, AnExtensionSilentForTheWholeBoundIsEndedAndRestarted) {
    const pid_t first = started();
    const auto run = extensions->last();
    step();
    silence(run);
    step(2300ms);  // silent for less than 3 s since its last beat
    EXPECT_FALSE(logged("ending it"));
    EXPECT_TRUE(signalsTo(run).empty());
    ASSERT_TRUE(stepUntil([&] { return extensions->launches() == 2 && running(); })) << "a stuck extension is replaced";
    EXPECT_TRUE(logged("the extension (pid " + std::to_string(first) + ") has not answered for 3 s; ending it"));
    EXPECT_EQ(signalsTo(run), std::vector<int>{SIGKILL});
    EXPECT_TRUE(logged("(pid " + std::to_string(first) + ") was killed by signal 9 (SIGKILL); restarting it in 0.1 s"));
    std::lock_guard lock(redirection->mutex);
    EXPECT_TRUE(redirection->restoredTo.empty()) << "a replaced extension installs its own redirection";
}

TEST_F(ExtensionSupervisorTest, ARedirectionOnlyItsEndFreesEndsTheExtensionAndRestartsIt) {
    {
        std::lock_guard lock(redirection->mutex);
        redirection->answer = NSError::posix(EBUSY, "half removed; ending it, cannot delete the table");
    }
    const pid_t first = started();
    const auto run = extensions->last();
    step();
    silence(run);
    EXPECT_TRUE(logged("the extension (pid " + std::to_string(first) +
                       ") has not answered for 0.6 s; half removed; ending it, cannot delete the table"));
    EXPECT_EQ(signalsTo(run), std::vector<int>{SIGKILL});
    EXPECT_TRUE(stepUntil([&] { return extensions->launches() == 2 && running(); }));
}

TEST_F(ExtensionSupervisorTest, AStoppedExtensionIsNotWatchedAnyMore) {
    const pid_t first = started();
    ASSERT_GT(first, 0);
    const auto run = extensions->last();
    supervisor->stop();
    EXPECT_EQ(phase(), ExtensionSupervisor::Phase::stopped);
    {
        std::lock_guard lock(extensions->mutex);
        EXPECT_TRUE(run->endAsked) << "our child is ended";
    }
    step(10s);
    EXPECT_EQ(extensions->launches(), 1u) << "a stop is not undone by a restart";
    EXPECT_EQ(supervisor->status(), NEVPNStatus::disconnected);
    std::lock_guard lock(redirection->mutex);
    EXPECT_TRUE(redirection->removedFrom.empty()) << "a stopped extension is not silent";
}

TEST_F(ExtensionSupervisorTest, AFailedStartIsAnsweredAndNotRetriedBehindTheCallersBack) {
    extensions->failNext("the extension exited while starting");
    const auto failed = supervisor->start(Identifier);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().localizedDescription(), "the extension exited while starting");
    EXPECT_EQ(phase(), ExtensionSupervisor::Phase::stopped);
    step(10s);
    EXPECT_EQ(extensions->launches(), 1u);

    started();
    EXPECT_TRUE(supervisor->start(Identifier).ok()) << "a start of a running extension succeeds";
    EXPECT_EQ(extensions->launches(), 2u) << "without launching another";
}

TEST_F(ExtensionSupervisorTest, AnExtensionStartedBeforeTheServiceIsWatchedByItsLock) {
    {
        std::lock_guard lock(extensions->mutex);
        extensions->elsewhere = true;
    }
    ASSERT_TRUE(supervisor->start(Identifier).ok());
    EXPECT_TRUE(running());
    EXPECT_EQ(extensions->launches(), 0u) << "not launched twice";
    step(5s);
    EXPECT_TRUE(running()) << "it has no pipe to beat on, so it is never taken for silent";

    {
        std::lock_guard lock(extensions->mutex);
        extensions->elsewhere = false;  // it ended: its lock is free
    }
    step();
    EXPECT_TRUE(logged("the extension is no longer running; restarting it in 0.1 s"));
    EXPECT_TRUE(stepUntil([&] { return extensions->launches() == 1 && running(); }));
}

TEST_F(ExtensionSupervisorTest, StoppingAnExtensionStartedBeforeTheServiceGoesThroughItsLock) {
    {
        std::lock_guard lock(extensions->mutex);
        extensions->elsewhere = true;
    }
    ASSERT_TRUE(supervisor->start(Identifier).ok());
    supervisor->stop();
    std::lock_guard lock(extensions->mutex);
    EXPECT_EQ(extensions->unownedStops, 1);
}

}  // namespace
}  // namespace sentorix::linux_system
