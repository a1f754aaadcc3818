#include "ExtensionProcess.h"
#include "ExtensionConnection.h"
#include "FakeExtension.h"
#include "StateDirectory.h"
#include "UniqueFd.h"
#include "UnixFrameServer.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <future>
#include <optional>
#include <iterator>
#include <string>
#include <thread>

namespace sentorix::linux_system {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

constexpr const char* Identifier = "com.sentorix.desktop.extension";

// The extension as the service's child for real, played by the stand-in script. Each wait is for
// something the script does, bounded far above what it takes, never a fixed pause.
class ExtensionProcessTest : public ::testing::Test {
protected:
    void TearDown() override { ExtensionConnection::stopExtension(state.path()); }

    template <typename Done>
    static bool waitFor(Done done, std::chrono::seconds bound = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    // The extension's process if its status file says `word`, 0 otherwise.
    pid_t publishedPid(const std::string& word) const {
        std::ifstream in(StateDirectory::statusPath(state.path()));
        std::string published, pid;
        std::getline(in, published);
        std::getline(in, pid);
        return published == word && !pid.empty() ? std::stoi(pid) : 0;
    }

    TempDir state;
    ChildExtensionLauncher launcher{state.path()};
};

TEST_F(ExtensionProcessTest, ARunBeatsInheritsNoneOfTheServiceSocketsAndIsEndedOnAStop) {
    activateFakeExtension(state.path(), "run");
    // A socket of the service's, as Asio opens them: not close-on-exec.
    const UniqueFd serviceSocket(::socket(AF_UNIX, SOCK_STREAM, 0));
    struct stat identity {};
    ASSERT_EQ(::fstat(serviceSocket.get(), &identity), 0);
    auto launched = launcher.launch(Identifier);
    ASSERT_TRUE(launched.ok()) << launched.error().localizedDescription();
    ASSERT_NE(*launched, nullptr);
    auto& run = **launched;
    std::ifstream handed(state.path() + "/extension.fds");
    const std::string fds((std::istreambuf_iterator<char>(handed)), std::istreambuf_iterator<char>());
    EXPECT_EQ(fds.find("socket:[" + std::to_string(identity.st_ino) + "]"), std::string::npos)
        << "the extension inherits none of the service's sockets";
    EXPECT_EQ(publishedPid("connected"), run.pid());
    EXPECT_TRUE(launcher.running());
    EXPECT_EQ(launcher.published(), NEVPNStatus::connected);
    EXPECT_TRUE(waitFor([&] { return run.beatsArrived(); })) << "its beats come through the pipe";
    EXPECT_FALSE(run.ended());

    const pid_t pid = run.pid();
    EXPECT_TRUE(run.end());
    EXPECT_NE(::kill(pid, 0), 0) << "ended and reaped";
    EXPECT_FALSE(launcher.running());
    EXPECT_EQ(launcher.published(), NEVPNStatus::disconnected);
}

TEST_F(ExtensionProcessTest, ARunKilledFromOutsideSaysHow) {
    activateFakeExtension(state.path(), "run");
    auto launched = launcher.launch(Identifier);
    ASSERT_TRUE(launched.ok() && *launched);
    auto& run = **launched;
    ::kill(run.pid(), SIGKILL);
    std::optional<std::string> how;
    ASSERT_TRUE(waitFor([&] { return (how = run.ended()).has_value(); }));
    EXPECT_EQ(*how, "was killed by signal 9 (SIGKILL)");
}

TEST_F(ExtensionProcessTest, AStartThatFailsSaysHowTheExtensionEnded) {
    activateFakeExtension(state.path(), "crash");
    auto launched = launcher.launch(Identifier);
    ASSERT_FALSE(launched.ok());
    EXPECT_EQ(launched.error().localizedDescription(),
              "the extension exited while starting; see " + StateDirectory::logPath(state.path()) +
                  "; it exited with status 3");
}

TEST_F(ExtensionProcessTest, AnExtensionKilledWhileStartingIsReportedWithItsSignal) {
    activateFakeExtension(state.path(), "slow");
    auto starting = std::async(std::launch::async, [this] { return launcher.launch(Identifier); });
    pid_t connecting = 0;
    ASSERT_TRUE(waitFor([&] { return (connecting = publishedPid("connecting")) != 0; }));
    ::kill(connecting, SIGKILL);
    auto launched = starting.get();
    ASSERT_FALSE(launched.ok()) << "not taken for a start that failed by itself, nor for a run";
    EXPECT_EQ(launched.error().localizedDescription(),
              "the extension exited while starting; see " + StateDirectory::logPath(state.path()) +
                  "; it was killed by signal 9 (SIGKILL)");
    EXPECT_NE(::kill(connecting, 0), 0) << "reaped";
}

}  // namespace
}  // namespace sentorix::linux_system
