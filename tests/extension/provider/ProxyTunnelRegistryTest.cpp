#include "FakeTCPConnection.h"
#include "FakeTCPFlow.h"
#include "LogCapture.h"
#include "ManualClock.h"
#include "RecordingMonitoringClient.h"
#include "provider/ProxyTunnelRegistry.h"
#include "tunnel/SXTunnelConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace sentorix {
namespace {

using testing::FakeTCPConnection;
using testing::FakeTCPFlow;
using Failure = SXTunnelConnectionOwner::PreHandshakeFailure;

struct RecordingHealth : ProxyTunnelRegistry::HandshakeObserver {
    int succeeded = 0;
    std::vector<std::pair<Failure, std::string>> failed;
    void handshakeSucceeded() override { ++succeeded; }
    void handshakeFailed(Failure failure, const std::string& target) override { failed.emplace_back(failure, target); }
};

class Registry : public ::testing::Test {
protected:
    // A tunnel admitted, kept and started, as the provider starts one; the test keeps only a weak view.
    std::weak_ptr<SXTunnelConnection> start(const std::string& flowId, double timeout = 5.0) {
        EXPECT_TRUE(registry->admit(flowId));
        auto tunnel = std::make_shared<SXTunnelConnection>(FakeTCPFlow::to("192.0.2.10", "443"), connection, flowId,
                                                           "app", timeout, monitoring, registry, deadlines);
        registry->add(tunnel);
        tunnel->start();
        return tunnel;
    }
    void answer(const std::string& response) {
        connection->setState(NWTCPConnectionState::Connected);
        ASSERT_TRUE(connection->completeWrite());
        ASSERT_TRUE(connection->completeRead(NSData(response.begin(), response.end())));
    }

    testing::LogCapture logs;
    std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
    std::shared_ptr<ProxyTunnelHandshakeDeadlines> deadlines = std::make_shared<ProxyTunnelHandshakeDeadlines>(clock);
    std::shared_ptr<testing::RecordingMonitoringClient> monitoring =
        std::make_shared<testing::RecordingMonitoringClient>();
    std::shared_ptr<FakeTCPConnection> connection = std::make_shared<FakeTCPConnection>();
    std::shared_ptr<RecordingHealth> health = std::make_shared<RecordingHealth>();
    std::shared_ptr<ProxyTunnelRegistry> registry = [this] {
        auto made = std::make_shared<ProxyTunnelRegistry>(2);
        made->observeHandshakes(health);
        return made;
    }();
};

TEST_F(Registry, KeepsATunnelUntilItClosesAndHoldsItsSlotUntilThen) {
    const auto tunnel = start("A");
    EXPECT_EQ(registry->count(), 1u);
    EXPECT_FALSE(tunnel.expired()) << "the registry is what keeps a working tunnel alive";
    EXPECT_EQ(registry->admissionController().pendingHandshakeCount(), 1u);

    answer("HTTP/1.1 200 Connection established\r\n\r\n");
    EXPECT_EQ(health->succeeded, 1);
    EXPECT_EQ(registry->admissionController().pendingHandshakeCount(), 0u);
    EXPECT_EQ(registry->admissionController().establishedTunnelCount(), 1u);

    tunnel.lock()->close(std::nullopt);
    EXPECT_EQ(registry->count(), 0u);
    EXPECT_TRUE(tunnel.expired());
    EXPECT_EQ(registry->admissionController().establishedTunnelCount(), 0u);
    EXPECT_TRUE(health->failed.empty()) << "a clean close is no failure";
}

TEST_F(Registry, AdmitsNoMoreThanItsPendingLimitAndAWithdrawnFlowFreesItsSlot) {
    EXPECT_TRUE(registry->admit("A"));
    EXPECT_TRUE(registry->admit("B"));
    EXPECT_FALSE(registry->admit("C"));
    registry->withdraw("A");
    EXPECT_TRUE(registry->admit("C"));
}

TEST_F(Registry, FailuresBeforeTheHandshakeReachHealthWithTheirKindAndTarget) {
    const auto refused = start("A");
    connection->setState(NWTCPConnectionState::Disconnected, NSError::posix(ECONNREFUSED));
    ASSERT_EQ(health->failed.size(), 1u);
    EXPECT_EQ(health->failed[0], std::make_pair(Failure::proxy, std::string("192.0.2.10:443")));

    connection = std::make_shared<FakeTCPConnection>();
    start("B", 1.0);
    connection->setState(NWTCPConnectionState::Connected);
    ASSERT_TRUE(connection->completeWrite());
    clock->advance(std::chrono::seconds(1));
    ASSERT_EQ(health->failed.size(), 2u);
    EXPECT_EQ(health->failed[1].first, Failure::handshakeTimedOut);
    EXPECT_EQ(registry->count(), 0u);
    EXPECT_EQ(registry->admissionController().pendingHandshakeCount(), 0u);
    EXPECT_EQ(health->succeeded, 0);
}

TEST_F(Registry, ReleasingAllLetsTunnelsGoWithoutClosingThemAndLateReportsAreHarmless) {
    const auto tunnel = start("A");
    auto held = tunnel.lock();
    registry->releaseAll();
    EXPECT_EQ(registry->count(), 0u);
    EXPECT_FALSE(held->isClosed());

    // Neither the registry nor its observer gone is a fault for a tunnel that reports later.
    health.reset();
    answer("HTTP/1.1 200 Connection established\r\n\r\n");
    registry.reset();
    held->close(std::nullopt);
    EXPECT_TRUE(held->isClosed());
}

}  // namespace
}  // namespace sentorix
