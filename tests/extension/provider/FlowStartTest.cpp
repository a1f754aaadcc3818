#include "FakeProviderServices.h"
#include "FakeTCPConnection.h"
#include "FakeTCPFlow.h"
#include "LogCapture.h"
#include "ManualClock.h"
#include "UnixFrameServer.h"
#include "platform/NETunnelProviderProtocol.h"
#include "provider/PacketTunnelProvider.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <mutex>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using testing::FakeProviderServices;
using testing::FakeTCPConnection;
using testing::FakeTCPFlow;
using State = NWTCPConnectionState;

NSData bytes(const std::string& text) { return NSData(text.begin(), text.end()); }

class FlowStart : public ::testing::Test {
protected:
    void SetUp() override {
        auto protocol = std::make_shared<NETunnelProviderProtocol>();
        protocol->providerConfiguration = ProviderConfiguration{{"monitoringSocketPath", server.path()}};
        services->setProtocol(protocol);
        services->setConnectionFactory([this](const NWHostEndpoint&) {
            auto connection = std::make_shared<FakeTCPConnection>();
            std::lock_guard lock(mutex);
            connections.push_back(connection);
            return connection;
        });
        // No start: no health timer whose ticks could move the gate under the test.
        provider->monitoring()->updateSocketPath(server.path());
        provider->safetyGate()->setProxyUnavailable(false);
    }

    // A relayed flow, opened: its tunnel now waits for its connection.
    std::shared_ptr<FakeTCPFlow> relay(const std::string& appId = "com.example.app") {
        auto flow = FakeTCPFlow::to("192.0.2.10", "443", appId);
        EXPECT_TRUE(provider->handleNewFlow(flow));
        EXPECT_TRUE(flow->completeOpen());
        return flow;
    }
    void completeHandshake(const std::shared_ptr<FakeTCPConnection>& connection) {
        connection->setState(State::Connected);
        ASSERT_TRUE(connection->completeWrite());
        ASSERT_TRUE(connection->completeRead(bytes("HTTP/1.1 200 OK\r\n\r\n")));
    }
    std::vector<nlohmann::json> events(const std::string& signal, size_t atLeast) {
        std::vector<nlohmann::json> found;
        server.waitForPayloads(
            [&](const std::vector<std::string>& payloads) {
                found.clear();
                for (const auto& payload : payloads) {
                    auto object = nlohmann::json::parse(payload);
                    if (object["current_signal"] == signal) {
                        found.push_back(object);
                    }
                }
                return found.size() >= atLeast;
            },
            5s);
        return found;
    }

    testing::LogCapture logs;
    testing::TempDir dir;
    testing::UnixFrameServer server{dir.file("monitor.sock")};
    std::shared_ptr<FakeProviderServices> services = std::make_shared<FakeProviderServices>();
    std::shared_ptr<PacketTunnelProvider> provider = std::make_shared<PacketTunnelProvider>(services);
    std::mutex mutex;
    std::vector<std::shared_ptr<FakeTCPConnection>> connections;
};

TEST_F(FlowStart, ConnectsToTheLocalProxyAndRegistersTheTunnel) {
    relay();
    ASSERT_EQ(services->connectionEndpoints().size(), 1u);
    EXPECT_EQ(services->connectionEndpoints()[0], NWHostEndpoint("127.0.0.1", "8080"));
    EXPECT_EQ(provider->activeTunnelCount(), 1u);
    EXPECT_EQ(provider->admissionController().pendingHandshakeCount(), 1u);
    connections[0]->setState(State::Connected);
    const NSData written = connections[0]->written().at(0);
    const std::string request(written.begin(), written.end());
    EXPECT_TRUE(std::regex_search(request, std::regex("X-Sentorix-Flow-Id: [0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-"
                                                      "[89AB][0-9A-F]{3}-[0-9A-F]{12}\r\n")))
        << request;
}

TEST_F(FlowStart, FortyNinthPendingHandshakeIsRejected) {
    for (int i = 0; i < 48; ++i) {
        relay();
    }
    const auto rejected = relay("com.example.rejected");
    EXPECT_EQ(connections.size(), 48u) << "no connection for a rejected flow";
    const auto error = rejected->closeReadError();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->domain(), "SentorixProxy");
    EXPECT_EQ((*error)->code(), 1001);
    EXPECT_EQ((*error)->localizedDescription(), "Proxy handshake backlog exceeded");
    EXPECT_EQ(rejected->closeWriteError(), error);
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: Rejecting flow due to handshake backlog"), 1u);
    const auto events = this->events("connect_handshake_rejected", 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["code"], "extension.connect_handshake_backlog_exceeded");
    EXPECT_EQ(events[0]["metrics"]["pending_handshakes"], 48);
    EXPECT_EQ(events[0]["context"]["app_id"], "com.example.rejected");
    EXPECT_EQ(events[0]["flow_id"].get<std::string>().size(), 36u);

    completeHandshake(connections[0]);
    EXPECT_EQ(provider->admissionController().pendingHandshakeCount(), 47u);
    EXPECT_EQ(provider->admissionController().establishedTunnelCount(), 1u);
    relay();
    EXPECT_EQ(connections.size(), 49u) << "a completed handshake frees a slot";
}

TEST_F(FlowStart, FailureBeforeTheHandshakeClosesTheGate) {
    relay();
    connections[0]->setState(State::Disconnected, NSError::posix(ECONNREFUSED, "Connection refused"));
    EXPECT_TRUE(provider->safetyGate()->isClosed());
    const auto next = FakeTCPFlow::to("192.0.2.10", "443");
    EXPECT_FALSE(provider->handleNewFlow(next)) << "the next flow is bypassed";
}

// A destination that drops packets keeps the proxy connecting onwards until the handshake times out. That
// is the destination's failing, not the proxy's: only time-outs to several destinations close the gate.
TEST_F(FlowStart, HandshakeTimeoutsToOneDestinationLeaveTheGateOpen) {
    auto clock = std::make_shared<testing::ManualClock>();
    auto timed = std::make_shared<PacketTunnelProvider>(services, PacketTunnelProvider::systemClock, clock);
    timed->monitoring()->updateSocketPath(server.path());
    timed->safetyGate()->setProxyUnavailable(false);
    const auto timeOut = [&](const std::string& host) {
        auto flow = FakeTCPFlow::to(host, "443");
        ASSERT_TRUE(timed->handleNewFlow(flow)) << host << " is relayed";
        ASSERT_TRUE(flow->completeOpen());
        std::shared_ptr<FakeTCPConnection> connection;
        {
            std::lock_guard lock(mutex);
            connection = connections.back();
        }
        connection->setState(State::Connected);
        ASSERT_TRUE(connection->completeWrite());  // asked; the answer never comes
        clock->advance(5s);
    };
    for (int i = 0; i < 6; ++i) {
        timeOut("198.51.100.7");
        EXPECT_FALSE(timed->safetyGate()->isClosed()) << "time-out " << i << " to the same destination";
    }
    auto healthy = FakeTCPFlow::to("192.0.2.10", "443");
    EXPECT_TRUE(timed->handleNewFlow(healthy)) << "other destinations are still relayed";
    EXPECT_TRUE(healthy->completeOpen());  // an unopened flow would keep its tunnel alive
    timeOut("203.0.113.9");
    EXPECT_TRUE(timed->safetyGate()->isClosed()) << "three time-outs to two destinations within 10 s";
}

TEST_F(FlowStart, ClosedTunnelLeavesNoTrace) {
    relay();
    completeHandshake(connections[0]);
    ASSERT_TRUE(connections[0]->completeRead({}));
    ASSERT_TRUE(connections[0]->pendingReads() == 0);
    EXPECT_EQ(provider->admissionController().pendingHandshakeCount(), 0u);
    EXPECT_EQ(provider->admissionController().establishedTunnelCount(), 1u) << "half-closed: still relaying";
}

TEST_F(FlowStart, FullyClosedTunnelLeavesControllerAndRegistry) {
    auto flow = relay();
    completeHandshake(connections[0]);
    ASSERT_TRUE(connections[0]->completeRead({}));
    ASSERT_TRUE(flow->completeRead({}));
    EXPECT_EQ(provider->admissionController().pendingHandshakeCount(), 0u);
    EXPECT_EQ(provider->admissionController().establishedTunnelCount(), 0u);
    EXPECT_EQ(provider->activeTunnelCount(), 0u);
}

TEST_F(FlowStart, StopEmptiesTheRegistryAndLaterClosesStillFreeSlots) {
    relay();
    relay();
    EXPECT_EQ(provider->activeTunnelCount(), 2u);
    // The outstanding completions keep the tunnels' connections; the registry lets go of them.
    provider->stopProxy(NEProviderStopReason::UserInitiated, [] {});
    EXPECT_EQ(provider->activeTunnelCount(), 0u);
    EXPECT_EQ(provider->admissionController().pendingHandshakeCount(), 2u);
}

TEST_F(FlowStart, StopWhileRelayingThenCloseFreesTheSlot) {
    auto flow = relay();
    completeHandshake(connections[0]);
    ASSERT_TRUE(flow->completeRead(bytes("data")));  // a write holds the tunnel past the stop
    provider->stopProxy(NEProviderStopReason::UserInitiated, [] {});
    EXPECT_EQ(provider->activeTunnelCount(), 0u);
    ASSERT_TRUE(connections[0]->completeWrite(NSError::posix(EPIPE, "Broken pipe")));
    EXPECT_EQ(provider->admissionController().establishedTunnelCount(), 0u);
    EXPECT_EQ(provider->activeTunnelCount(), 0u);
}

TEST_F(FlowStart, NoConnectionFromThePlatformFailsTheFlowAndHoldsNoSlot) {
    services->setConnectionFactory(nullptr);
    const auto flow = relay();
    const auto error = flow->closeReadError();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->code(), ENOTCONN);
    EXPECT_EQ(provider->admissionController().pendingHandshakeCount(), 0u);
    EXPECT_EQ(provider->activeTunnelCount(), 0u);
}

}  // namespace
}  // namespace sentorix
