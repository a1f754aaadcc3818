#include "ControlServer.h"
#include "ServiceClient.h"
#include "UniqueFd.h"
#include "UnixFrameServer.h"

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

namespace sentorix::linux_system {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using Dictionary = ControlMessage::Dictionary;

std::size_t openDescriptors() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                  std::filesystem::directory_iterator()));
}

// A control socket on a thread of its own whose requests are answered with their name.
class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = directory.path() + "/control.sock";
        auto listening = ControlServer::listen(
            io, path,
            [this](const std::shared_ptr<ControlSession>& session, Dictionary request) {
                ++handled;
                const auto* name = ControlMessage::text(request, "request");
                session->answer(ControlMessage::success({{"echo", name ? *name : ""}}));
            },
            2s);
        ASSERT_TRUE(listening) << listening.error().localizedDescription();
        server = std::move(*listening);
        thread = std::thread([this] { io.run(); });
    }
    void TearDown() override {
        asio::post(io, [this] { server.reset(); });
        guard.reset();
        thread.join();
    }
    std::size_t sessions() {
        std::promise<std::size_t> count;
        asio::post(io, [&] { count.set_value(server->sessions()); });
        return count.get_future().get();
    }
    UniqueFd connectRaw() { return connectTo(path); }
    static UniqueFd connectTo(const std::string& path) {
        UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return socket;
    }
    std::optional<Dictionary> readAnswer(int socket) {
        auto answer = ServiceClient::receive(socket, std::chrono::steady_clock::now() + 2s);
        return answer ? std::optional<Dictionary>(std::move(*answer)) : std::nullopt;
    }
    static std::string header(std::uint32_t length) {
        return {static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                static_cast<char>(length)};
    }

    TempDir directory;
    std::string path;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard = asio::make_work_guard(io);
    std::unique_ptr<ControlServer> server;
    std::thread thread;
    std::atomic<int> handled{0};
};

TEST_F(ControlServerTest, BadFramesGetAnErrorAndTheConnectionKeepsServing) {
    const auto socket = connectRaw();
    const std::string garbage = "<plist><dict><key>version</key>";
    const std::string wrongVersion = *ControlMessage::frame({{"request", "status"}});
    for (const std::string& frame : {header(static_cast<std::uint32_t>(garbage.size())) + garbage,
                                     std::string(wrongVersion).replace(wrongVersion.find("<integer>1<"), 11,
                                                                       "<integer>9<")}) {
        ASSERT_EQ(::send(socket.get(), frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
        const auto answer = readAnswer(socket.get());
        ASSERT_TRUE(answer);
        const auto error = ControlMessage::errorIn(*answer);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), ControlMessage::BadRequest);
    }
    EXPECT_EQ(handled, 0);
    const auto good = *ControlMessage::frame({{"request", "status"}});
    ASSERT_EQ(::send(socket.get(), good.data(), good.size(), MSG_NOSIGNAL), static_cast<ssize_t>(good.size()));
    const auto answer = readAnswer(socket.get());
    ASSERT_TRUE(answer);
    EXPECT_FALSE(ControlMessage::errorIn(*answer));
}

TEST_F(ControlServerTest, AnOversizedRequestIsRefusedFromItsHeader) {
    const auto socket = connectRaw();
    const auto huge = header(16 * 1024 * 1024);
    ASSERT_EQ(::send(socket.get(), huge.data(), huge.size(), MSG_NOSIGNAL), 4);
    // Not one byte of the body is sent: the answer cannot depend on reading it.
    const auto answer = readAnswer(socket.get());
    ASSERT_TRUE(answer);
    const auto error = ControlMessage::errorIn(*answer);
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("larger than"), std::string::npos);
    char byte;
    EXPECT_EQ(::recv(socket.get(), &byte, 1, 0), 0) << "the connection ends";

    EXPECT_TRUE(ServiceClient(path).ask({{"request", "status"}})) << "others are still served";
}

TEST_F(ControlServerTest, ABinaryPropertyListIsRefusedWithAClearError) {
    const auto socket = connectRaw();
    const std::string binary = "bplist00" + std::string(40, '\0');
    const std::string frame = header(static_cast<std::uint32_t>(binary.size())) + binary;
    ASSERT_EQ(::send(socket.get(), frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
    const auto answer = readAnswer(socket.get());
    ASSERT_TRUE(answer);
    const auto error = ControlMessage::errorIn(*answer);
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("binary property lists are not accepted"), std::string::npos)
        << error->localizedDescription();
    EXPECT_EQ(handled, 0);
}

// A server of the test's own that keeps silent clients for as long as the test needs them.
class PatientControlServerTest : public ControlServerTest {
protected:
    void SetUp() override {
        ControlServerTest::SetUp();
        patientPath = directory.path() + "/patient.sock";
        auto listening = ControlServer::listen(
            io, patientPath,
            [](const std::shared_ptr<ControlSession>& session, Dictionary request) {
                const auto* name = ControlMessage::text(request, "request");
                session->answer(ControlMessage::success({{"echo", name ? *name : ""}}));
            },
            60s);
        ASSERT_TRUE(listening) << listening.error().localizedDescription();
        patient = std::move(*listening);
    }
    void TearDown() override {
        std::promise<void> gone;
        asio::post(io, [&] {
            patient.reset();
            gone.set_value();
        });
        gone.get_future().wait();
        ControlServerTest::TearDown();
    }
    std::size_t patientSessions() {
        std::promise<std::size_t> count;
        asio::post(io, [&] { count.set_value(patient->sessions()); });
        return count.get_future().get();
    }
    bool settles(std::size_t expected) {
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (patientSessions() != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        return patientSessions() == expected;
    }
    UniqueFd connectPatient() { return connectTo(patientPath); }

    std::string patientPath;
    std::unique_ptr<ControlServer> patient;
};

// Each request is answered before the next is read, but nothing made the client read the answers: large
// ones piled up in the service until the frame count alone ended it.
TEST_F(PatientControlServerTest, AClientThatAsksAndNeverReadsIsEndedBeforeItsAnswersPileUp) {
    const auto socket = connectPatient();
    const auto frame = *ControlMessage::frame({{"request", std::string(60000, 'a')}});
    for (int i = 0; i < 30; ++i) {  // fewer frames than the frame bound, many more bytes than the byte bound
        if (::send(socket.get(), frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
            break;  // ended already
        }
    }
    EXPECT_TRUE(settles(0)) << "still held: " << patientSessions();
}

TEST_F(PatientControlServerTest, RootIsLetInWhenEveryOrdinaryPlaceIsTaken) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the places kept back are root's";
    }
    std::vector<UniqueFd> held;
    for (std::size_t i = 0; i < ControlServer::MaxSessions; ++i) {
        held.push_back(connectPatient());
    }
    ASSERT_TRUE(settles(ControlServer::MaxSessions));
    const auto beyond = connectPatient();
    const auto frame = *ControlMessage::frame({{"request", "status"}});
    ASSERT_EQ(::send(beyond.get(), frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
    const auto answer = readAnswer(beyond.get());
    ASSERT_TRUE(answer) << "root is answered beyond the ordinary places";
    EXPECT_FALSE(ControlMessage::errorIn(*answer));
    for (std::size_t i = 1; i < ControlServer::RootReserve; ++i) {
        held.push_back(connectPatient());
    }
    ASSERT_TRUE(settles(ControlServer::MaxSessions + ControlServer::RootReserve));
    const auto past = connectPatient();
    char byte;
    const timeval patience{2, 0};
    ::setsockopt(past.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    EXPECT_EQ(::recv(past.get(), &byte, 1, 0), 0) << "past every place, even root is turned away";
}

TEST_F(ControlServerTest, ClientsThatVanishLeaveNoSessionOrDescriptorBehind) {
    ASSERT_TRUE(ServiceClient(path).reachable());
    const auto before = openDescriptors();
    {
        std::vector<UniqueFd> clients;
        for (int i = 0; i < 200; ++i) {
            clients.push_back(connectRaw());
            if (i % 2 == 0) {
                ::send(clients.back().get(), "\0\0", 2, MSG_NOSIGNAL);  // half a header
            }
        }
    }
    // An answer to a later client means the server has taken every one before it from the backlog: a
    // slow server (under a sanitizer) may not have begun, and none open yet would pass for none left.
    ASSERT_TRUE(ServiceClient(path).ask({{"request", "status"}}));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while ((sessions() > 0 || openDescriptors() > before) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(sessions(), 0u);
    EXPECT_LE(openDescriptors(), before);  // the probe's own session may still have been open before
    const auto answer = ServiceClient(path).ask({{"request", "status"}});
    ASSERT_TRUE(answer) << answer.error().description();
    EXPECT_EQ(*ControlMessage::text(*answer, "echo"), "status");
}

TEST_F(ControlServerTest, ASilentClientIsEndedAfterTheIdleBound) {
    const auto socket = connectRaw();
    char byte;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(::recv(socket.get(), &byte, 1, 0), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1500ms);
}

TEST_F(ControlServerTest, PeersOutsideTheGroupAreRefusedAndNothingIsDone) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to connect as another user";
    }
    ::chmod(directory.path().c_str(), 0755);
    const pid_t child = ::fork();
    if (child == 0) {
        const gid_t nogroup = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(nogroup) != 0 || ::setuid(65534) != 0) {
            ::_exit(3);
        }
        const auto answer = ServiceClient(path).ask({{"request", "start"}});
        ::_exit(!answer && answer.error().code() == ControlMessage::PermissionDenied &&
                        answer.error().localizedDescription().rfind("permission denied", 0) == 0
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the refused peer hears \"permission denied\"";
    EXPECT_EQ(handled, 0);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (sessions() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(sessions(), 0u) << "a refused peer holds no place among the clients";

    // Root is always let in.
    EXPECT_TRUE(ServiceClient(path).ask({{"request", "status"}}));
}

}  // namespace
}  // namespace sentorix::linux_system
