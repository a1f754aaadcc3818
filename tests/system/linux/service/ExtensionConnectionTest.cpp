#include "ExtensionConnection.h"
#include "ManualMainQueue.h"
#include "FakeExtension.h"
#include "StateDirectory.h"
#include "UniqueFd.h"
#include "UnixFrameServer.h"
#include "NSNotificationCenter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace sentorix::linux_system {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

constexpr const char* Identifier = "com.sentorix.desktop.extension";

// An activated extension whose program is a script that plays the extension's part.
class ExtensionConnectionTest : public ::testing::Test {
protected:
    void activate(const std::string& mode) { activateFakeExtension(state.path(), mode); }
    pid_t publishedPid() const {
        std::ifstream in(StateDirectory::statusPath(state.path()));
        std::string word, pid;
        std::getline(in, word);
        std::getline(in, pid);
        return pid.empty() ? 0 : std::stoi(pid);
    }
    void TearDown() override { ExtensionConnection::stopExtension(state.path()); }

    TempDir state;
};

TEST_F(ExtensionConnectionTest, StartsADetachedExtensionAndStopsIt) {
    activate("run");
    auto connection = ExtensionConnection::create(state.path(), Identifier);
    EXPECT_EQ(connection->status(), NEVPNStatus::disconnected);
    const auto error = connection->startVPNTunnel();
    ASSERT_FALSE(error) << error->description();
    EXPECT_EQ(connection->status(), NEVPNStatus::connected);

    const pid_t pid = publishedPid();
    ASSERT_GT(pid, 0);
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    char state = 0;
    pid_t parent = 0;
    fields >> state >> parent;
    EXPECT_NE(parent, ::getpid()) << "the extension is not left as our child";

    EXPECT_FALSE(connection->startVPNTunnel()) << "starting a running extension does nothing";
    EXPECT_EQ(publishedPid(), pid);

    connection->stopVPNTunnel();
    EXPECT_EQ(connection->status(), NEVPNStatus::disconnected);
    std::ifstream after("/proc/" + std::to_string(pid) + "/stat");
    std::string afterLine;
    EXPECT_TRUE(!std::getline(after, afterLine) || afterLine[afterLine.rfind(')') + 2] == 'Z') << "it exited";
}

TEST_F(ExtensionConnectionTest, StartFailsWithTheExtensionsOwnError) {
    activate("fail");
    const auto error = ExtensionConnection::create(state.path(), Identifier)->startVPNTunnel();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ExtensionConnection::ConnectionFailed);
    EXPECT_EQ(error->localizedDescription(), "CAP_NET_ADMIN is needed (run as root)");
}

TEST_F(ExtensionConnectionTest, ExtensionDyingWhileStartingFailsTheStartAndPointsAtItsLog) {
    activate("crash");
    const auto error = ExtensionConnection::create(state.path(), Identifier)->startVPNTunnel();
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find(StateDirectory::logPath(state.path())), std::string::npos)
        << error->localizedDescription();
    std::ifstream log(StateDirectory::logPath(state.path()));
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(log), {}).find("fake extension: crashing"), std::string::npos);
}

TEST_F(ExtensionConnectionTest, StartOfAnExtensionThatIsNotActivatedFails) {
    const auto error = ExtensionConnection::create(state.path(), Identifier)->startVPNTunnel();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ExtensionConnection::ConfigurationInvalid);
}

TEST_F(ExtensionConnectionTest, NothingThatOthersCouldHaveChangedIsRunOrWritten) {
    activate("run");
    const std::string bundle = StateDirectory::activatedExtensionPath(state.path(), Identifier);
    const std::string program = bundle + "/Contents/MacOS/fake_extension.py";
    auto connection = ExtensionConnection::create(state.path(), Identifier);

    std::filesystem::permissions(program, std::filesystem::perms(0777));
    auto error = connection->startVPNTunnel();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "Refusing " + program + ": it is writable by group or others");
    std::filesystem::permissions(program, std::filesystem::perms(0755));

    // The log the extension's output is appended to, planted as a link to a file of root's.
    std::ofstream(state.file("target")) << "precious";
    std::filesystem::create_symlink(state.file("target"), StateDirectory::logPath(state.path()));
    error = connection->startVPNTunnel();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "Refusing " + StateDirectory::logPath(state.path()) + ": it is a symbolic link");
    std::ifstream target(state.file("target"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(target), {}), "precious");
    EXPECT_EQ(connection->status(), NEVPNStatus::disconnected) << "nothing was started";
}

TEST_F(ExtensionConnectionTest, StatusFollowsTheLockAndChangesAreNotified) {
    // A status file left by a killed extension: nobody holds the lock.
    std::ofstream(StateDirectory::statusPath(state.path())) << "connected\n1\n\n";
    auto connection = ExtensionConnection::create(state.path(), Identifier, 10ms);
    EXPECT_EQ(connection->status(), NEVPNStatus::disconnected);

    auto mainQueue = std::make_shared<testing::ManualMainQueue>();
    int notified = 0;
    auto token = NSNotificationCenter::defaultCenter().addObserver(
        NEVPNStatusDidChangeNotification, connection.get(), mainQueue, [&] { ++notified; });
    {
        UniqueFd lock(::open(StateDirectory::lockPath(state.path()).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        struct flock whole {};
        whole.l_type = F_WRLCK;
        ASSERT_EQ(::fcntl(lock.get(), F_OFD_SETLK, &whole), 0);
        EXPECT_EQ(connection->status(), NEVPNStatus::connected);
        std::ofstream(StateDirectory::statusPath(state.path())) << "disconnecting\n1\n\n";
        EXPECT_EQ(connection->status(), NEVPNStatus::disconnecting);
        EXPECT_TRUE(mainQueue->runUntil([&] { return notified >= 1; }, 5s));
    }
    const int before = notified;
    mainQueue->runUntil([&] { return notified > before; }, 5s);
    EXPECT_EQ(connection->status(), NEVPNStatus::disconnected);
    EXPECT_EQ(notified, before + 1) << "releasing the lock is a change to disconnected";

    NSNotificationCenter::defaultCenter().removeObserver(token);
    std::this_thread::sleep_for(30ms);
    mainQueue->runAll();
    EXPECT_EQ(notified, before + 1);
}

}  // namespace
}  // namespace sentorix::linux_system
