#include "MonitorListener.h"
#include "UniqueFd.h"
#include "UnixFrameServer.h"

#include <asio/executor_work_guard.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using sentorix::UniqueFd;
using sentorix::testing::TempDir;

UniqueFd connectTo(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        return fd;
    }
    ADD_FAILURE() << "cannot connect to " << path;
    return UniqueFd();
}

// What `fd` gives until a line break, or until `limit` passes without one.
std::string readLine(int fd, std::chrono::milliseconds limit) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        char buffer[4096];
        ssize_t got = 0;
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0 ||
            (got = ::read(fd, buffer, sizeof buffer)) <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

std::string frame(const std::string& payload) {
    const auto n = uint32_t(payload.size());
    std::string bytes{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return bytes + payload;
}

void send(const UniqueFd& fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
}

class MonitorListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        listener = std::make_unique<MonitorListener>(
            io, dir.file("m.sock"),
            [this](const std::string& json) {
                std::lock_guard lock(mutex);
                frames.push_back(json);
            },
            [this](const std::string& problem) {
                std::lock_guard lock(mutex);
                problems.push_back(problem);
            });
    }
    void runFor(std::chrono::milliseconds time) {
        io.restart();
        io.run_for(time);
    }

    TempDir dir;
    asio::io_context io;
    std::unique_ptr<MonitorListener> listener;
    std::mutex mutex;
    std::vector<std::string> frames, problems;
};

TEST_F(MonitorListenerTest, SurvivesOversizedAndTruncatedFramesAndKeepsServing) {
    ASSERT_EQ(listener->open(), "");
    {
        auto big = connectTo(dir.file("m.sock"));
        send(big, std::string{char(0x00), char(0x10), char(0x00), char(0x01)});  // 1 MiB + 1
        auto cut = connectTo(dir.file("m.sock"));
        send(cut, std::string{0, 0, 0, 50} + "{\"half\":");
        auto two = connectTo(dir.file("m.sock"));
        send(two, frame("{\"a\":1}") + frame("{\"b\":2}"));
    }
    runFor(300ms);
    auto good = connectTo(dir.file("m.sock"));
    send(good, frame("{\"c\":3}"));
    good.reset();
    runFor(300ms);
    std::sort(frames.begin(), frames.end());
    EXPECT_EQ(frames, (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}", "{\"c\":3}"}));
    ASSERT_EQ(problems.size(), 2u);
    std::sort(problems.begin(), problems.end());
    EXPECT_NE(problems[0].find("disconnected in the middle of a frame"), std::string::npos);
    EXPECT_NE(problems[1].find("refused a frame of 1048577 bytes"), std::string::npos);
}

TEST_F(MonitorListenerTest, FramesSplitAnywhereAcrossWritesArriveWholeAndInOrder) {
    ASSERT_EQ(listener->open(), "");
    const std::string large(100000, 'x');  // more than one read's worth
    const std::string bytes = frame("{\"a\":1}") + frame("{\"l\":\"" + large + "\"}") + frame("{\"b\":2}");
    auto peer = connectTo(dir.file("m.sock"));
    // Cuts inside the first header, inside a payload, and right at a frame's end.
    for (std::size_t from = 0; const std::size_t to : {std::size_t(2), std::size_t(9), std::size_t(11), std::size_t(5000),
                                                       bytes.size() - 3, bytes.size()}) {
        send(peer, bytes.substr(from, to - from));
        from = to;
        runFor(20ms);
    }
    peer.reset();
    runFor(100ms);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], "{\"a\":1}");
    EXPECT_EQ(frames[1].size(), large.size() + 8);
    EXPECT_EQ(frames[2], "{\"b\":2}");
    EXPECT_TRUE(problems.empty()) << problems.front();
}

// Senders in a burst, as short connections make them, while the listener gathers between takes: each
// frame arrives once, including a second one from senders that stay connected, and none is a problem.
TEST_F(MonitorListenerTest, ABurstOfSendersArrivesWholeWhileTheListenerGathers) {
    ASSERT_EQ(listener->open(), "");
    auto guard = asio::make_work_guard(io);
    std::thread loop([this] { io.run(); });
    constexpr int Senders = 1000;
    std::vector<UniqueFd> lingering;
    for (int i = 0; i < Senders; ++i) {
        auto peer = connectTo(dir.file("m.sock"));
        send(peer, frame("{\"n\":" + std::to_string(i) + "}"));
        if (i % 10 == 0) {
            lingering.push_back(std::move(peer));  // still connected after its first frame
        }
    }
    std::this_thread::sleep_for(20ms);
    for (std::size_t i = 0; i < lingering.size(); ++i) {
        send(lingering[i], frame("{\"again\":" + std::to_string(i) + "}"));
    }
    lingering.clear();
    const auto expected = std::size_t(Senders + Senders / 10);
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard lock(mutex);
            if (frames.size() >= expected) {
                break;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    io.stop();
    loop.join();
    std::set<std::string> distinct(frames.begin(), frames.end());
    EXPECT_EQ(frames.size(), expected);
    EXPECT_EQ(distinct.size(), expected) << "each frame once";
    EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST_F(MonitorListenerTest, ReplacesAStaleSocketButNotALiveListenerOrAFile) {
    {
        // A socket file left behind by a listener that died.
        UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, dir.file("m.sock").c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ASSERT_EQ(listener->open(), "");

    MonitorListener second(io, dir.file("m.sock"), [](const std::string&) {}, [](const std::string&) {});
    EXPECT_NE(second.open().find("another listener"), std::string::npos);

    std::ofstream(dir.file("plain")) << "data";
    MonitorListener onFile(io, dir.file("plain"), [](const std::string&) {}, [](const std::string&) {});
    EXPECT_NE(onFile.open().find("not a socket"), std::string::npos);
}

TEST(MonitorProgram, PrintsOneLinePerFrameAndExitsZeroOnSigterm) {
    TempDir dir;
    const std::string socketPath = dir.file("m.sock");
    int out[2], err[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
    UniqueFd output(out[0]), errors(err[0]), outWriter(out[1]), errWriter(err[1]);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(outWriter.get(), STDOUT_FILENO);
        ::dup2(errWriter.get(), STDERR_FILENO);
        ::execl(SENTORIX_MONITOR_BINARY, "sentorix-monitor", "--socket", socketPath.c_str(), nullptr);
        ::_exit(127);
    }
    outWriter.reset();
    errWriter.reset();
    // It says so once it listens: then one connection is enough.
    EXPECT_NE(readLine(errors.get(), 10s).find("listening"), std::string::npos);
    {
        auto peer = connectTo(socketPath);
        send(peer, frame(R"({"current_signal":"provider_started"})"));
    }
    const std::string printed = readLine(output.get(), 10s);
    ::kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(printed, "{\"current_signal\":\"provider_started\"}\n");
    struct stat info{};
    EXPECT_NE(::lstat(socketPath.c_str(), &info), 0) << "the socket file is removed at exit";
}

}  // namespace
