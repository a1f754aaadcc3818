#include "CallbackTunnelOwner.h"
#include "FakeTCPConnection.h"
#include "FakeTCPFlow.h"
#include "LogCapture.h"
#include "ManualClock.h"
#include "RecordingMonitoringClient.h"
#include "tunnel/SXTunnelConnection.h"

#include <gtest/gtest.h>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using testing::FakeTCPConnection;
using testing::CallbackTunnelOwner;
using testing::FakeTCPFlow;
using testing::Journal;
using testing::ManualClock;
using testing::RecordingMonitoringClient;
using State = NWTCPConnectionState;

NSData bytes(const std::string& text) { return NSData(text.begin(), text.end()); }
std::string text(const NSData& data) { return std::string(data.begin(), data.end()); }

class Tunnel : public ::testing::Test {
protected:
    void make(std::shared_ptr<NWEndpoint> remote, std::string appId = "com.example.app", double timeout = 5.0) {
        flow = std::make_shared<FakeTCPFlow>(appId, std::move(remote));
        flow->setJournal(journal);
        connection->setJournal(journal);
        owner = CallbackTunnelOwner::make(
            [this](const std::string& id) { journal->add("onHandshakeEstablished:" + id); },
            [this](SXTunnelConnection::PreHandshakeFailure failure, const std::string& target) {
                journal->add(failure == SXTunnelConnection::PreHandshakeFailure::proxy
                                 ? "onProxyUnavailable"
                                 : "onProxyUnavailable:handshake timed out:" + target);
            },
            [this](const std::string& id) { journal->add("onClose:" + id); });
        tunnel = std::make_shared<SXTunnelConnection>(flow, connection, "FLOW-ID", appId, timeout, monitoring, owner,
                                                      deadlines);
    }
    void make(const std::string& host = "192.0.2.10", const std::string& port = "443",
              std::string appId = "com.example.app", double timeout = 5.0) {
        make(std::make_shared<NWHostEndpoint>(host, port), std::move(appId), timeout);
    }
    // Up to the proxy's answer: connected, request written.
    void handshakeUntilAnswer() {
        tunnel->start();
        connection->setState(State::Connected);
        ASSERT_TRUE(connection->completeWrite());
    }
    void establish(const std::string& answer = "HTTP/1.1 200 Connection established\r\n\r\n") {
        handshakeUntilAnswer();
        ASSERT_TRUE(connection->completeRead(bytes(answer)));
    }
    size_t count(const std::string& entry) const {
        const auto entries = journal->entries();
        return size_t(std::count(entries.begin(), entries.end(), entry));
    }

    testing::LogCapture logs;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ProxyTunnelHandshakeDeadlines> deadlines = std::make_shared<ProxyTunnelHandshakeDeadlines>(clock);
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    std::shared_ptr<RecordingMonitoringClient> monitoring = std::make_shared<RecordingMonitoringClient>(journal);
    std::shared_ptr<FakeTCPConnection> connection = std::make_shared<FakeTCPConnection>();
    std::shared_ptr<FakeTCPFlow> flow;
    std::shared_ptr<CallbackTunnelOwner> owner;
    std::shared_ptr<SXTunnelConnection> tunnel;
};

TEST_F(Tunnel, SendsTheFiveLineRequestOnceConnected) {
    make("192.0.2.10", "443", "A");
    tunnel->start();
    EXPECT_TRUE(connection->written().empty()) << "waits for the connection";
    connection->setState(State::Waiting);
    EXPECT_TRUE(connection->written().empty());
    connection->setState(State::Connected);
    ASSERT_EQ(connection->written().size(), 1u);
    EXPECT_EQ(text(connection->written()[0]),
              "CONNECT 192.0.2.10:443 HTTP/1.1\r\nHost: 192.0.2.10:443\r\nX-Sentorix-App-Id: A\r\n"
              "X-Sentorix-Flow-Id: FLOW-ID\r\n\r\n");
    EXPECT_EQ(connection->observerCount(), 0u) << "the handshake stops following the state";
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: Sending CONNECT handshake (details private)"), 1u);
    const auto started = monitoring->last("connect_handshake_started");
    EXPECT_EQ(started.flowID, "FLOW-ID");
    EXPECT_EQ(started.context, (ProxyTunnelMonitoringEvent::Context{{"app_id", "A"}, {"remote", "192.0.2.10:443"}}));
}

TEST_F(Tunnel, TargetsAndCleanedHeaders) {
    EXPECT_EQ(SXTunnelConnection::targetOf(std::make_shared<NWHostEndpoint>("2001:db8::1", "443")),
              "[2001:db8::1]:443");
    EXPECT_EQ(SXTunnelConnection::targetOf(std::make_shared<NWEndpoint>()), "");
    EXPECT_EQ(SXTunnelConnection::connectRequest("[2001:db8::1]:443", "A", "F"),
              "CONNECT [2001:db8::1]:443 HTTP/1.1\r\nHost: [2001:db8::1]:443\r\nX-Sentorix-App-Id: A\r\n"
              "X-Sentorix-Flow-Id: F\r\n\r\n");
    EXPECT_EQ(SXTunnelConnection::connectRequest("", "A", "F"),
              "CONNECT  HTTP/1.1\r\nHost: \r\nX-Sentorix-App-Id: A\r\nX-Sentorix-Flow-Id: F\r\n\r\n");
}

TEST_F(Tunnel, LineBreaksInIdentifiersAndTargetCannotAddHeaders) {
    const std::string forgedHost = "evil.example\r\nX-Sentorix-App-Id: com.trusted.app";
    make(forgedHost, "443", "com.example\r\n.app\n");
    tunnel->start();
    connection->setState(State::Connected);
    const std::string request = text(connection->written().at(0));
    EXPECT_EQ(request,
              "CONNECT [evil.exampleX-Sentorix-App-Id: com.trusted.app]:443 HTTP/1.1\r\n"
              "Host: [evil.exampleX-Sentorix-App-Id: com.trusted.app]:443\r\n"
              "X-Sentorix-App-Id: com.example.app\r\nX-Sentorix-Flow-Id: FLOW-ID\r\n\r\n");
    const auto context = *monitoring->last("connect_handshake_started").context;
    EXPECT_EQ(context.at("app_id"), "com.example\r\n.app\n") << "events keep the identifier as given";
    EXPECT_EQ(context.at("remote"), "[" + forgedHost + "]:443") << "and the target as the endpoint gave it";
}

TEST_F(Tunnel, EndpointThatIsNotAHostStillSendsTheRequest) {
    make(std::make_shared<NWEndpoint>());
    tunnel->start();
    connection->setState(State::Connected);
    EXPECT_TRUE(text(connection->written().at(0)).starts_with("CONNECT  HTTP/1.1\r\nHost: \r\n"));
}

TEST_F(Tunnel, AlreadyConnectedStartsAtOnceAndOnlyOnce) {
    make();
    connection->setState(State::Connected);
    tunnel->start();
    EXPECT_EQ(connection->written().size(), 1u);
    tunnel->observeValue("state", connection.get());  // a late notification
    EXPECT_EQ(connection->written().size(), 1u);
}

TEST_F(Tunnel, SuccessWithLeftoverWritesItBeforeReadingTheProxyAgain) {
    make();
    establish("HTTP/1.1 200 OK\r\n\r\nEARLY");
    EXPECT_EQ(count("onHandshakeEstablished:FLOW-ID"), 1u);
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: Handshake successful."), 1u);
    const auto succeeded = monitoring->last("connect_handshake_succeeded");
    EXPECT_EQ(succeeded.metrics->at("leftover_bytes"), 5.0);
    EXPECT_GE(succeeded.metrics->at("elapsed_ms"), 0.0);
    ASSERT_EQ(flow->written().size(), 1u);
    EXPECT_EQ(text(flow->written()[0]), "EARLY");
    EXPECT_EQ(flow->pendingReads(), 0u) << "the system may yet take both directions: nothing is read meanwhile";
    EXPECT_EQ(connection->pendingReads(), 0u) << "the proxy is read only after the leftover is delivered";
    EXPECT_EQ(count("flow.relayWith"), 0u) << "the system is offered the tunnel only after the leftover";
    ASSERT_TRUE(flow->completeWrite());
    EXPECT_EQ(count("flow.relayWith"), 1u);
    EXPECT_EQ(flow->pendingReads(), 1u) << "declined: the tunnel copies";
    EXPECT_EQ(connection->pendingReads(), 1u);
    EXPECT_EQ(connection->lastReadMaximum(), SXTunnelConnection::RelayReadMaximum);
}

TEST_F(Tunnel, SuccessWithoutLeftoverStartsBothDirections) {
    make();
    establish();
    EXPECT_EQ(monitoring->last("connect_handshake_succeeded").metrics->at("leftover_bytes"), 0.0);
    EXPECT_TRUE(flow->written().empty());
    EXPECT_EQ(flow->pendingReads(), 1u);
    EXPECT_EQ(connection->pendingReads(), 1u);
}

TEST_F(Tunnel, ResponseSplitOverManyReads) {
    make();
    handshakeUntilAnswer();
    const std::string answer = "HTTP/1.1 200 OK\r\nVia: 1.1 proxy\r\n\r\n";
    for (char c : answer) {
        EXPECT_EQ(connection->lastReadMaximum(), SXTunnelConnection::HandshakeReadMaximum);
        ASSERT_TRUE(connection->completeRead(NSData{uint8_t(c)}));
    }
    EXPECT_EQ(monitoring->signals(), (std::vector<std::string>{"connect_handshake_started", "connect_handshake_succeeded"}));
}

TEST_F(Tunnel, RejectedAndInvalidAnswersCloseWithoutMarkingTheProxyDown) {
    make();
    establish("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n");
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: Handshake failed (response status not 200)"), 1u);
    const auto rejected = monitoring->last("connect_handshake_rejected");
    EXPECT_EQ(rejected.code, "extension.connect_handshake_non_200");
    EXPECT_EQ(rejected.context->at("status_line"), "HTTP/1.1 407 Proxy Authentication Required");
    const auto closed = monitoring->last("tunnel_closed");
    EXPECT_EQ(closed.level, "info");
    EXPECT_EQ(closed.context->at("detail"), "eof");
    EXPECT_EQ(count("onProxyUnavailable"), 0u);

    connection = std::make_shared<FakeTCPConnection>();
    monitoring = std::make_shared<RecordingMonitoringClient>(journal);
    make();
    establish("\r\n\r\n");
    EXPECT_EQ(monitoring->last("connect_handshake_invalid").context->at("reason"), "connect_status_line_missing");
    EXPECT_EQ(monitoring->last("tunnel_closed").level, "info");
    EXPECT_EQ(count("onProxyUnavailable"), 0u);
}

TEST_F(Tunnel, ProxyClosingWithoutAnswerIsOnlyATunnelClose) {
    make();
    handshakeUntilAnswer();
    ASSERT_TRUE(connection->completeRead({}));
    EXPECT_EQ(monitoring->signals(), (std::vector<std::string>{"connect_handshake_started", "tunnel_closed"}));
    EXPECT_EQ(monitoring->last("tunnel_closed").context->at("detail"), "eof");
}

TEST_F(Tunnel, WriteAndReadFailuresBeforeTheHandshakeMarkTheProxyDown) {
    make();
    tunnel->start();
    connection->setState(State::Connected);
    ASSERT_TRUE(connection->completeWrite(NSError::posix(EPIPE, "Broken pipe")));
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: Error writing CONNECT: Broken pipe"), 1u);
    EXPECT_EQ(monitoring->signals(),
              (std::vector<std::string>{"connect_handshake_started", "connect_handshake_write_failed", "tunnel_closed"}));
    EXPECT_EQ(count("onProxyUnavailable"), 1u);
    EXPECT_EQ(monitoring->last("tunnel_closed").context->at("detail"), "Broken pipe");
}

TEST_F(Tunnel, ClosingRunsItsStepsInOrderExactlyOnce) {
    make();
    tunnel->start();
    const NSError reset = NSError::posix(ECONNRESET, "Connection reset by peer");
    connection->setState(State::Disconnected, reset);
    tunnel->close(std::nullopt);
    const auto entries = journal->entries();
    const std::vector<std::string> tail(entries.end() - 7, entries.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"connection.removeObserver", "onProxyUnavailable", "event.tunnel_closed",
                                              "flow.closeRead", "flow.closeWrite", "connection.cancel",
                                              "onClose:FLOW-ID"}));
    EXPECT_EQ(count("event.tunnel_closed"), 1u);
    EXPECT_EQ(count("connection.cancel"), 1u);
    EXPECT_EQ(flow->closeReadError(), OptionalError(reset));
    const auto closed = monitoring->last("tunnel_closed");
    EXPECT_EQ(closed.level, "error");
    EXPECT_EQ(closed.message, "Tunnel closed with error");
    EXPECT_EQ(closed.context, (ProxyTunnelMonitoringEvent::Context{{"app_id", "com.example.app"},
                                                                   {"detail", "Connection reset by peer"}}));
}

TEST_F(Tunnel, DisconnectWithoutErrorIsAnOrdinaryClose) {
    make();
    tunnel->start();
    connection->setState(State::Disconnected);
    EXPECT_EQ(monitoring->last("tunnel_closed").level, "info");
    EXPECT_EQ(monitoring->last("tunnel_closed").message, "Tunnel closed");
    EXPECT_EQ(count("onProxyUnavailable"), 0u);
}

TEST_F(Tunnel, AConnectionThatFailedBeforeTheTunnelStartedClosesItAtOnce) {
    make();
    connection->setState(State::Disconnected, NSError::posix(ECONNREFUSED, "Connection refused"));
    tunnel->start();
    EXPECT_TRUE(tunnel->isClosed()) << "not left to the handshake timer";
    EXPECT_EQ(count("onProxyUnavailable"), 1u);
    EXPECT_EQ(monitoring->last("tunnel_closed").context->at("detail"), "Connection refused");
}

TEST_F(Tunnel, TimeoutReportsAndClosesWithError1002) {
    make("192.0.2.10", "443", "com.example.app", 0.05);
    tunnel->start();
    clock->advance(49ms);
    EXPECT_FALSE(tunnel->isClosed()) << "not before its time";
    clock->advance(1ms);
    ASSERT_TRUE(tunnel->isClosed());
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: CONNECT handshake timed out"), 1u);
    const auto timedOut = monitoring->last("connect_handshake_timed_out");
    EXPECT_EQ(timedOut.metrics->at("timeout_seconds"), 0.05);
    EXPECT_EQ(timedOut.context->at("app_id"), "com.example.app");
    EXPECT_EQ(monitoring->last("tunnel_closed").context->at("detail"), "Proxy CONNECT handshake timed out");
    EXPECT_EQ(count("onProxyUnavailable"), 1u);
    const auto error = flow->closeReadError();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->code(), 1002);
    EXPECT_EQ((*error)->domain(), "SentorixProxy");
}

// Asked and unanswered, the proxy may be waiting on the destination: the owner hears which one, so that one
// slow destination is not taken for a proxy that cannot take flows.
TEST_F(Tunnel, ATimeoutAfterTheRequestWasWrittenNamesItsTarget) {
    make("2001:db8::7", "8443", "com.example.app", 0.05);
    handshakeUntilAnswer();
    clock->advance(50ms);
    ASSERT_TRUE(tunnel->isClosed());
    EXPECT_EQ(count("onProxyUnavailable"), 0u);
    EXPECT_EQ(count("onProxyUnavailable:handshake timed out:[2001:db8::7]:8443"), 1u);
}

TEST_F(Tunnel, ZeroTimeoutClosesDuringStart) {
    make("192.0.2.10", "443", "a", 0.0);
    tunnel->start();
    EXPECT_TRUE(tunnel->isClosed());
    EXPECT_EQ(connection->observerCount(), 0u);
}

TEST_F(Tunnel, AnswerAfterCloseDoesNothing) {
    make();
    handshakeUntilAnswer();
    tunnel->close(NSError(NSError::SentorixDomain, 1002, "Proxy CONNECT handshake timed out"));
    const auto eventsAtClose = monitoring->signals();
    const auto logsAtClose = logs->messages().size();
    ASSERT_TRUE(connection->completeRead(bytes("HTTP/1.1 200 OK\r\n\r\nlate")));
    EXPECT_EQ(monitoring->signals(), eventsAtClose);
    EXPECT_EQ(logs->messages().size(), logsAtClose);
    EXPECT_EQ(count("onHandshakeEstablished:FLOW-ID"), 0u);
    EXPECT_TRUE(flow->written().empty());
    EXPECT_EQ(flow->pendingReads(), 0u) << "no relay on closed ends";
}

TEST_F(Tunnel, RelayCopiesBothWaysUnchanged) {
    make();
    establish();
    for (int i = 0; i < 20; ++i) {
        const std::string up = "up-" + std::to_string(i);
        const std::string down(1000 + i, char('a' + i % 26));
        ASSERT_TRUE(flow->completeRead(bytes(up)));
        ASSERT_TRUE(connection->completeWrite());
        ASSERT_TRUE(connection->completeRead(bytes(down)));
        ASSERT_TRUE(flow->completeWrite());
        EXPECT_EQ(text(connection->written().back()), up);
        EXPECT_EQ(text(flow->written().back()), down);
    }
}

TEST_F(Tunnel, ApplicationHalfCloseKeepsTheResponseComing) {
    make();
    establish();
    ASSERT_TRUE(flow->completeRead(bytes("GET / HTTP/1.0\r\n\r\n")));
    ASSERT_TRUE(connection->completeWrite());
    ASSERT_TRUE(flow->completeRead({}));  // the application has finished sending
    EXPECT_EQ(count("connection.writeClose"), 1u);
    EXPECT_FALSE(tunnel->isClosed());
    ASSERT_TRUE(connection->completeRead(bytes("HTTP/1.0 200 OK\r\n\r\nbody")));
    ASSERT_TRUE(flow->completeWrite());
    EXPECT_EQ(text(flow->written().back()), "HTTP/1.0 200 OK\r\n\r\nbody");
    ASSERT_TRUE(connection->completeRead({}));
    EXPECT_TRUE(tunnel->isClosed());
    EXPECT_EQ(monitoring->last("tunnel_closed").level, "info");
    EXPECT_EQ(monitoring->last("tunnel_closed").context->at("detail"), "eof");
}

TEST_F(Tunnel, ProxyHalfCloseKeepsTheUploadGoing) {
    make();
    establish();
    ASSERT_TRUE(connection->completeRead({}));
    EXPECT_EQ(count("flow.closeWrite"), 1u);
    EXPECT_FALSE(tunnel->isClosed());
    ASSERT_TRUE(flow->completeRead(bytes("more")));
    ASSERT_TRUE(connection->completeWrite());
    EXPECT_EQ(text(connection->written().back()), "more");
    ASSERT_TRUE(flow->completeRead({}));
    EXPECT_TRUE(tunnel->isClosed());
}

TEST_F(Tunnel, RelayErrorClosesAtOnceWithThatError) {
    make();
    establish();
    ASSERT_TRUE(connection->completeRead(bytes("data")));
    ASSERT_TRUE(flow->completeWrite(NSError::posix(EPIPE, "Broken pipe")));
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: App write error: Broken pipe"), 1u);
    EXPECT_TRUE(tunnel->isClosed());
    EXPECT_EQ(monitoring->last("tunnel_closed").level, "error");
    EXPECT_EQ(count("onProxyUnavailable"), 0u) << "the handshake had succeeded";
    EXPECT_EQ(flow->pendingReads(), 1u);
    ASSERT_TRUE(flow->completeRead(bytes("late")));  // a read completing after close
    EXPECT_EQ(count("event.tunnel_closed"), 1u);
}

TEST_F(Tunnel, ReleasedTunnelIgnoresLateCompletionsButOutstandingWritesKeepItAlive) {
    make();
    establish();
    ASSERT_TRUE(flow->completeRead(bytes("x")));  // a relay write to the proxy is now outstanding
    std::weak_ptr<SXTunnelConnection> weak = tunnel;
    tunnel.reset();
    EXPECT_FALSE(weak.expired()) << "the write completion holds the tunnel";
    ASSERT_TRUE(connection->completeWrite());
    EXPECT_TRUE(weak.expired()) << "reads hold it weakly";
    const auto writesBefore = connection->written().size();
    const auto eventsBefore = monitoring->signals();
    EXPECT_TRUE(flow->completeRead(bytes("y")));
    EXPECT_TRUE(connection->completeRead(bytes("z")));
    EXPECT_EQ(connection->written().size(), writesBefore);
    EXPECT_TRUE(flow->written().empty());
    EXPECT_EQ(monitoring->signals(), eventsBefore);
}

TEST_F(Tunnel, SystemRelayTakesTheTunnelAndItsEndClosesItWithEofOrTheError) {
    make();
    flow->acceptRelay();
    establish("HTTP/1.1 200 OK\r\n\r\nEARLY");
    ASSERT_TRUE(flow->completeWrite());
    EXPECT_EQ(count("flow.relayWith"), 1u);
    EXPECT_EQ(flow->pendingReads() + connection->pendingReads(), 0u) << "the tunnel copies nothing itself";
    EXPECT_FALSE(tunnel->isClosed());
    EXPECT_EQ(flow.use_count(), 1) << "an idle relayed tunnel keeps nothing of the flow";
    EXPECT_EQ(connection.use_count(), 1) << "... nor of the connection";
    EXPECT_EQ(deadlines.use_count(), 1) << "... nor of the handshake: its watchdog and callbacks are gone";
    EXPECT_EQ(deadlines->pendingCount(), 0u) << "... and no deadline is left waiting for it";
    ASSERT_TRUE(flow->completeRelay());
    EXPECT_EQ(monitoring->last("tunnel_closed").level, "info");
    EXPECT_EQ(monitoring->last("tunnel_closed").context->at("detail"), "eof");
    EXPECT_EQ(count("onClose:FLOW-ID"), 1u);
    EXPECT_EQ(count("connection.cancel"), 0u) << "the system has closed both sides itself";

    connection = std::make_shared<FakeTCPConnection>();
    monitoring = std::make_shared<RecordingMonitoringClient>(journal);
    make();
    flow->acceptRelay();
    establish();
    const NSError reset = NSError::posix(ECONNRESET, "Connection reset by peer");
    ASSERT_TRUE(flow->completeRelay(reset));
    EXPECT_EQ(monitoring->last("tunnel_closed").level, "error");
    EXPECT_EQ(monitoring->last("tunnel_closed").context->at("detail"), "Connection reset by peer");
    EXPECT_EQ(count("onProxyUnavailable"), 0u) << "the handshake had succeeded";
}

// A connection so quick that, once observed, it carries the tunnel through its handshake to the system's
// relay before start() has returned.
class EagerConnection : public FakeTCPConnection {
public:
    void addObserver(std::weak_ptr<NSKeyValueObserving> observer, const std::string& keyPath) override {
        FakeTCPConnection::addObserver(std::move(observer), keyPath);
        setState(NWTCPConnectionState::Connected);
        completeWrite();
        completeRead(bytes("HTTP/1.1 200 Connection established\r\n\r\n"));
    }
};

TEST_F(Tunnel, AHandshakeFinishedWhileStartingStillReachesTheSystemRelay) {
    connection = std::make_shared<EagerConnection>();
    make();
    flow->acceptRelay();
    tunnel->start();  // must not touch the connection the relayed tunnel has let go of
    EXPECT_EQ(count("flow.relayWith"), 1u);
    EXPECT_FALSE(tunnel->isClosed());
}

// A system whose relay fails before relayWith has even returned.
class FailingAtOnceFlow : public FakeTCPFlow {
public:
    using FakeTCPFlow::FakeTCPFlow;
    bool relayWith(std::shared_ptr<NWTCPConnection>, std::function<void(OptionalError)> completion) override {
        completion(NSError::posix(ENOTCONN, "Socket is not connected"));
        return true;
    }
};

TEST_F(Tunnel, ClosesExactlyOnceWhateverEndsItAndWhenever) {
    // The system's completion inside relayWith: nothing copies afterwards.
    flow = std::make_shared<FailingAtOnceFlow>("app", std::make_shared<NWHostEndpoint>("192.0.2.10", "443"));
    owner = CallbackTunnelOwner::make(nullptr, nullptr, [this](const std::string& id) { journal->add("onClose:" + id); });
    tunnel = std::make_shared<SXTunnelConnection>(flow, connection, "FLOW-ID", "app", 5.0, monitoring, owner, deadlines);
    establish();
    EXPECT_TRUE(tunnel->isClosed());
    EXPECT_EQ(flow->pendingReads(), 0u);
    EXPECT_EQ(connection->pendingReads(), 0u);
    EXPECT_EQ(count("onClose:FLOW-ID"), 1u);

    // A close from outside, then the system's late completion.
    journal = std::make_shared<Journal>();
    connection = std::make_shared<FakeTCPConnection>();
    monitoring = std::make_shared<RecordingMonitoringClient>(journal);
    make();
    flow->acceptRelay();
    establish();
    tunnel->close(std::nullopt);
    ASSERT_TRUE(flow->completeRelay(NSError::posix(ECONNABORTED, "aborted")));
    EXPECT_EQ(count("event.tunnel_closed"), 1u);
    EXPECT_EQ(count("onClose:FLOW-ID"), 1u);
}

}  // namespace
}  // namespace sentorix
