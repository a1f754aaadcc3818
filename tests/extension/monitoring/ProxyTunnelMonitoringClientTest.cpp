#include "LogCapture.h"
#include "ManualClock.h"
#include "UnixFrameServer.h"
#include "monitoring/ProxyTunnelMonitoringClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using Client = ProxyTunnelMonitoringClient;
using testing::LogCapture;
using testing::TempDir;
using testing::UnixFrameServer;

ProxyTunnelMonitoringEvent event(std::string signal) {
    return ProxyTunnelMonitoringEvent(std::move(signal), std::nullopt, "info", "extension.test", "test event");
}

std::shared_ptr<DispatchQueue> serialQueue() {
    return DispatchQueue::create("com.sentorix.proxyTunnelMonitoring", DispatchQueue::Kind::Serial);
}

// Records each send, optionally holding every sender call until released.
struct RecordingSender {
    std::mutex mutex;
    std::vector<std::pair<std::string, NSData>> sent;
    std::shared_future<void> gate;

    Client::Sender sender() {
        return [this](const std::string& path, const NSData& frame) -> OptionalError {
            if (gate.valid()) {
                gate.wait();
            }
            std::lock_guard lock(mutex);
            sent.emplace_back(path, frame);
            return std::nullopt;
        };
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return sent.size();
    }
};

void drain(const std::shared_ptr<DispatchQueue>& queue) { queue->sync([] {}); }

size_t openDescriptors() {
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                std::filesystem::directory_iterator()));
}

TEST(ProxyTunnelMonitoringClient, SendsNothingAndLogsNothingWithoutAUsablePath) {
    LogCapture logs;
    RecordingSender recorder;
    auto queue = serialQueue();
    Client client(std::nullopt, queue, std::make_shared<ProxyTunnelMonitoringFrameEncoder>(), recorder.sender());
    client.emit(event("before_any_path"));
    client.updateSocketPath(" \n\t ");
    client.emit(event("blank_path"));
    client.updateSocketPath("/tmp/x.sock");
    client.updateSocketPath(std::nullopt);
    client.emit(event("absent_again"));
    drain(queue);
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_TRUE(logs->entries().empty());
}

TEST(ProxyTunnelMonitoringClient, UsesTrimmedPathAndKeepsEmitOrder) {
    RecordingSender recorder;
    auto queue = serialQueue();
    Client client(std::nullopt, queue, std::make_shared<ProxyTunnelMonitoringFrameEncoder>(), recorder.sender());
    client.updateSocketPath("  /tmp/monitor.sock\n");
    for (int i = 0; i < 50; ++i) {
        client.emit(event("e" + std::to_string(i)));
    }
    drain(queue);
    ASSERT_EQ(recorder.count(), 50u);
    for (int i = 0; i < 50; ++i) {
        const auto& [path, frame] = recorder.sent[size_t(i)];
        EXPECT_EQ(path, "/tmp/monitor.sock");
        const auto payload = nlohmann::json::parse(frame.begin() + 4, frame.end());
        EXPECT_EQ(payload["current_signal"], "e" + std::to_string(i));
    }
}

TEST(ProxyTunnelMonitoringClient, FailuresAreLoggedOncePerEventWithFullDescription) {
    LogCapture logs;
    auto queue = serialQueue();
    Client failing(std::nullopt, queue, std::make_shared<ProxyTunnelMonitoringFrameEncoder>(),
                   [](const std::string&, const NSData&) -> OptionalError {
                       return NSError("TestDomain", 7, "sender refused");
                   });
    failing.updateSocketPath("/tmp/never.sock");
    failing.emit(event("a"));
    auto bad = event("nan");
    bad.metrics = ProxyTunnelMonitoringEvent::Metrics{{"elapsed_ms", std::nan("")}};
    failing.emit(bad);
    drain(queue);
    const auto messages = logs->messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "SentorixProxy monitoring send failed: Error Domain=TestDomain Code=7 \"sender refused\"");
    EXPECT_TRUE(messages[1].starts_with("SentorixProxy monitoring send failed: Error Domain=NSCocoaErrorDomain"));
}

TEST(ProxyTunnelMonitoringClient, DeadListenerGivesOneConnectFailurePerEvent) {
    LogCapture logs;
    TempDir dir;
    auto queue = serialQueue();
    Client client(std::nullopt, queue, std::make_shared<ProxyTunnelMonitoringFrameEncoder>());
    client.updateSocketPath(dir.file("nobody.sock"));
    client.emit(event("a"));
    client.emit(event("b"));
    client.emit(event("c"));
    drain(queue);
    const auto messages = logs->messages();
    ASSERT_EQ(messages.size(), 3u);
    for (const auto& message : messages) {
        EXPECT_TRUE(message.starts_with("SentorixProxy monitoring send failed: "));
        EXPECT_NE(message.find("Failed to connect to monitoring socket"), std::string::npos) << message;
        EXPECT_NE(message.find("NSPOSIXErrorDomain"), std::string::npos) << message;
    }
}

TEST(ProxyTunnelMonitoringClient, EachEventArrivesOnItsOwnConnectionInOrder) {
    TempDir dir;
    UnixFrameServer server(dir.file("monitor.sock"));
    auto queue = serialQueue();
    Client client(std::nullopt, queue, std::make_shared<ProxyTunnelMonitoringFrameEncoder>());
    client.updateSocketPath(server.path());
    client.emit(event("first"));
    client.emit(event("second"));
    ASSERT_TRUE(server.waitForConnections(2, 5s));
    const auto connections = server.connections();
    ASSERT_EQ(connections.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const auto& bytes = connections[i];
        ASSERT_GE(bytes.size(), 4u);
        const uint32_t length = (uint32_t(uint8_t(bytes[0])) << 24) | (uint32_t(uint8_t(bytes[1])) << 16) |
                                (uint32_t(uint8_t(bytes[2])) << 8) | uint32_t(uint8_t(bytes[3]));
        EXPECT_EQ(length, bytes.size() - 4) << "exactly one frame, then the client closed";
        EXPECT_EQ(nlohmann::json::parse(bytes.substr(4))["current_signal"], i == 0 ? "first" : "second");
    }
}

TEST(ProxyTunnelMonitoringClient, EmitNeverWaitsForAStalledEndpoint) {
    RecordingSender recorder;
    std::promise<void> release;
    recorder.gate = release.get_future().share();
    auto queue = serialQueue();
    Client client(std::nullopt, queue, std::make_shared<ProxyTunnelMonitoringFrameEncoder>(), recorder.sender());
    client.updateSocketPath("/tmp/stalled.sock");
    for (int i = 0; i < 20; ++i) {
        client.emit(event("e"));  // would hang here if emit waited for delivery
    }
    EXPECT_EQ(recorder.count(), 0u);
    release.set_value();
    drain(queue);
    EXPECT_EQ(recorder.count(), 20u);
}

// A process about to end waits for its last events, but a stalled endpoint holds it up only so long.
TEST(ProxyTunnelMonitoringClient, WaitingUntilSentEndsWhenTheLastEventIsOutOrTheLimitPasses) {
    RecordingSender recorder;
    std::promise<void> release;
    recorder.gate = release.get_future().share();
    auto queue = serialQueue();
    Client client("/tmp/stalled.sock", queue, std::make_shared<ProxyTunnelMonitoringFrameEncoder>(), recorder.sender());
    EXPECT_TRUE(client.waitUntilSent(0ms)) << "nothing emitted, nothing to wait for";
    for (int i = 0; i < 3; ++i) {
        client.emit(event("e"));
    }
    EXPECT_FALSE(client.waitUntilSent(20ms));
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        release.set_value();
    });
    EXPECT_TRUE(client.waitUntilSent(10s));
    EXPECT_EQ(recorder.count(), 3u) << "every event was out when the wait ended";
    releaser.join();
}

TEST(ProxyTunnelMonitoringClient, EndpointThatAcceptsButNeverReadsDoesNotHoldUpEmit) {
    TempDir dir;
    UnixFrameServer server(dir.file("silent.sock"), /*reads=*/false);
    auto queue = serialQueue();
    Client client(std::nullopt, queue, std::make_shared<ProxyTunnelMonitoringFrameEncoder>());
    client.updateSocketPath(server.path());
    for (int i = 0; i < 10; ++i) {
        client.emit(event("e"));
    }
    drain(queue);  // each frame fits the socket buffer, so every send completes
    SUCCEED();
}

TEST(ProxyTunnelMonitoringClient, PendingSendsAreBoundedAndDropsAreCountedInOneLine) {
    LogCapture logs;
    RecordingSender recorder;
    std::promise<void> release;
    recorder.gate = release.get_future().share();
    auto queue = serialQueue();
    auto clock = std::make_shared<testing::ManualClock>();
    Client client(std::nullopt, queue, std::make_shared<ProxyTunnelMonitoringFrameEncoder>(), recorder.sender(),
                  /*maxPendingJobs=*/4, clock);
    client.updateSocketPath("/tmp/slow.sock");
    for (int i = 0; i < 10; ++i) {
        client.emit(event("e" + std::to_string(i)));
    }
    release.set_value();
    drain(queue);
    ASSERT_EQ(recorder.count(), 4u);
    EXPECT_EQ(nlohmann::json::parse(recorder.sent[3].second.begin() + 4, recorder.sent[3].second.end())
                  ["current_signal"],
              "e3");
    const auto messages = logs->messages();
    ASSERT_EQ(messages.size(), 1u) << "drops are reported at most once a second";
    EXPECT_EQ(messages[0], "SentorixProxy monitoring send failed: 1 events dropped: 4 sends already pending");

    // The rest of the count is reported once a second has passed.
    clock->advance(1100ms);
    client.emit(event("after"));
    drain(queue);
    ASSERT_TRUE(logs->waitForCount("SentorixProxy monitoring send failed: 5 events dropped", 1, 2s))
        << ::testing::PrintToString(logs->messages());
}

TEST(ProxyTunnelMonitoringClient, EventsFromManyThreadsAreAllSentEachThreadsInOrderAndNoneIsBuiltWithoutAPath) {
    struct Counting : Client {
        using Client::Client;
        std::atomic<int> built{0};
        void emit(ProxyTunnelMonitoringEvent event) override {
            ++built;
            Client::emit(std::move(event));
        }
    };
    RecordingSender recorder;
    auto queue = serialQueue();
    Counting client(std::nullopt, queue, std::make_shared<ProxyTunnelMonitoringFrameEncoder>(), recorder.sender());
    client.report(ProxyTunnelMonitoringEvents::providerStarted, std::nullopt);
    EXPECT_EQ(client.built, 0) << "nobody would receive it";

    client.updateSocketPath("/tmp/monitor.sock");
    // Emitters racing the consumer as it finds the backlog empty: a wake-up lost there strands events.
    constexpr int threads = 4, each = 300;
    std::vector<std::thread> emitters;
    for (int t = 0; t < threads; ++t) {
        emitters.emplace_back([&, t] {
            for (int i = 0; i < each; ++i) {
                client.report(ProxyTunnelMonitoringEvents::handshakeStarted, "T" + std::to_string(t),
                              {"app", std::to_string(i)});
            }
        });
    }
    for (auto& emitter : emitters) {
        emitter.join();
    }
    drain(queue);
    ASSERT_EQ(recorder.count(), size_t(threads * each));
    std::vector<int> next(threads, 0);
    for (const auto& [path, frame] : recorder.sent) {
        const auto payload = nlohmann::json::parse(frame.begin() + 4, frame.end());
        const int t = std::stoi(payload["flow_id"].get<std::string>().substr(1));
        EXPECT_EQ(payload["context"]["remote"], std::to_string(next[size_t(t)]++));
    }
}

class SendFrameToSocket : public ::testing::Test {
protected:
    // A directory whose socket path is exactly `bytes` long.
    std::string pathOfLength(size_t bytes) {
        std::string path = dir.path() + "/";
        path.append(bytes - path.size() - 5, 'd');
        std::filesystem::create_directory(path);
        return path + "/m.sk";
    }
    // A listener nobody accepts on yet, at `path`.
    static UniqueFd listenAt(const std::string& path, int backlog, sockaddr_un& address) {
        UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener.get(), backlog), 0);
        return listener;
    }
    // Connections that fill the listener's backlog.
    static std::vector<UniqueFd> fillBacklog(const sockaddr_un& address) {
        std::vector<UniqueFd> fillers;
        for (int i = 0; i < 8; ++i) {
            UniqueFd filler(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            if (::connect(filler.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                break;
            }
            fillers.push_back(std::move(filler));
        }
        return fillers;
    }
    TempDir dir;
};

TEST_F(SendFrameToSocket, PathOf103BytesConnectsAnd104IsRefusedWithoutLeakingTheSocket) {
    const std::string ok = pathOfLength(103);
    ASSERT_EQ(ok.size(), 103u);
    UnixFrameServer server(ok);
    const NSData frame{0, 0, 0, 2, '{', '}'};
    EXPECT_FALSE(Client::sendFrameToSocket(ok, frame).has_value());
    ASSERT_TRUE(server.waitForConnections(1, 5s));  // the server has closed its end too

    const std::string tooLong = ok + "x";
    const size_t before = openDescriptors();
    const auto error = Client::sendFrameToSocket(tooLong, frame);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain(), "SentorixProxy");
    EXPECT_EQ(error->code(), 1101);
    EXPECT_EQ(error->localizedDescription(), "Monitoring socket path too long");
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(SendFrameToSocket, WriteToAReaderThatNeverReadsTimesOut) {
    UnixFrameServer server(dir.file("stall.sock"), /*reads=*/false);
    const NSData huge(16 * 1024 * 1024, 'x');
    const auto error = Client::sendFrameToSocket(server.path(), huge, 200ms);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->localizedDescription(), "Failed to write monitoring frame");
    EXPECT_EQ(error->code(), ETIMEDOUT);
}

TEST_F(SendFrameToSocket, ConnectToAFullBacklogTimesOut) {
    const std::string path = dir.file("full.sock");
    sockaddr_un address{};
    const UniqueFd listener = listenAt(path, 0, address);
    const auto fillers = fillBacklog(address);
    const auto error = Client::sendFrameToSocket(path, NSData{0, 0, 0, 0}, 200ms);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->localizedDescription(), "Failed to connect to monitoring socket");
    EXPECT_EQ(error->code(), ETIMEDOUT);
}

// Accepts the backlog's fillers and then one sender, once `after` has passed; false when nobody came.
bool acceptSender(int listener, std::size_t fillers, std::chrono::milliseconds after, UniqueFd& sender) {
    std::this_thread::sleep_for(after);
    for (std::size_t i = 0; i <= fillers; ++i) {
        pollfd ready{listener, POLLIN, 0};
        if (::poll(&ready, 1, 5000) <= 0) {
            return false;
        }
        sender = UniqueFd(::accept(listener, nullptr, nullptr));
    }
    return sender.valid();
}

// The sends that cannot finish at once: a frame many times the socket's buffer, read slowly, and the
// same behind a backlog with room only after a while. Each waits within its limit and arrives whole.
TEST_F(SendFrameToSocket, FullBacklogAndFullBufferAreWaitedForAndTheFrameArrivesWhole) {
    for (const bool fullBacklog : {false, true}) {
        const std::string path = dir.file(fullBacklog ? "full.sock" : "room.sock");
        sockaddr_un address{};
        const UniqueFd listener = listenAt(path, fullBacklog ? 0 : 4, address);
        auto fillers = fullBacklog ? fillBacklog(address) : std::vector<UniqueFd>{};
        NSData frame(4 * 1024 * 1024 + 4, 'x');
        frame[0] = 0, frame[1] = 0x40, frame[2] = 0, frame[3] = 0;
        std::size_t received = 0;
        std::thread reader([&] {
            UniqueFd peer;
            if (!acceptSender(listener.get(), fillers.size(), 100ms, peer)) {
                return;
            }
            std::vector<char> chunk(64 * 1024);
            for (ssize_t got; (got = ::read(peer.get(), chunk.data(), chunk.size())) > 0;) {
                received += static_cast<std::size_t>(got);
                std::this_thread::sleep_for(1ms);
            }
        });
        const auto error = Client::sendFrameToSocket(path, frame, 10000ms);
        reader.join();
        EXPECT_FALSE(error.has_value()) << error->localizedDescription();
        EXPECT_EQ(received, frame.size()) << (fullBacklog ? "behind a full backlog" : "with room in the backlog");
    }
}

// A connect that waited for room leaves the write a limit of its own, not none.
TEST_F(SendFrameToSocket, AWriteAfterAWaitedConnectStillTimesOut) {
    const std::string path = dir.file("late.sock");
    sockaddr_un address{};
    const UniqueFd listener = listenAt(path, 0, address);
    const auto fillers = fillBacklog(address);
    UniqueFd peer;
    std::thread acceptor([&] { acceptSender(listener.get(), fillers.size(), 100ms, peer); });  // and never reads
    const auto error = Client::sendFrameToSocket(path, NSData(16 * 1024 * 1024, 'x'), 300ms);
    acceptor.join();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->localizedDescription(), "Failed to write monitoring frame");
    EXPECT_EQ(error->code(), ETIMEDOUT);
}

TEST_F(SendFrameToSocket, PeerThatClosesEarlyFailsTheWriteInsteadOfRaisingSigpipe) {
    const std::string path = dir.file("closing.sock");
    sockaddr_un address{};
    const UniqueFd listener = listenAt(path, 4, address);
    std::thread closer([&] { UniqueFd peer(::accept(listener.get(), nullptr, nullptr)); });
    const NSData huge(16 * 1024 * 1024, 'x');
    const auto error = Client::sendFrameToSocket(path, huge, 5000ms);
    closer.join();
    ASSERT_TRUE(error.has_value());  // SIGPIPE would have ended the test process
    EXPECT_EQ(error->localizedDescription(), "Failed to write monitoring frame");
}

}  // namespace
}  // namespace sentorix
