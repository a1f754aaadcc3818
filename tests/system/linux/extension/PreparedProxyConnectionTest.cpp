#include "PreparedProxyConnection.h"
#include "TestConnectProxy.h"

#include <gtest/gtest.h>

#include <thread>

namespace sentorix {
namespace {

using linux_system::PreparedProxyConnection;
using linux_system::SocketTCPConnection;
using testing::listenLoopback;

TEST(PreparedProxyConnection, IsTakenOnceOnItsOwnThreadForItsEndpointAndCancelledWhenNobodyDoes) {
    std::uint16_t port = 0;
    const auto listener = listenLoopback(port);
    const NWHostEndpoint proxy("127.0.0.1", std::to_string(port));
    auto taken = SocketTCPConnection::connect(proxy);
    auto unwanted = SocketTCPConnection::connect(proxy);
    {
        const PreparedProxyConnection::Offer offer(linux_system::newFlowStrand(), taken, proxy);
        EXPECT_EQ(PreparedProxyConnection::take(NWHostEndpoint("127.0.0.1", "1")), nullptr) << "another endpoint";
        std::thread([&] { EXPECT_EQ(PreparedProxyConnection::take(proxy), nullptr) << "another thread"; }).join();
        EXPECT_EQ(PreparedProxyConnection::take(proxy), taken);
        EXPECT_EQ(PreparedProxyConnection::take(proxy), nullptr) << "taken once";
    }
    EXPECT_NE(taken->state(), NWTCPConnectionState::Cancelled);
    {
        const PreparedProxyConnection::Offer offer(linux_system::newFlowStrand(), unwanted, proxy);
    }
    EXPECT_EQ(unwanted->state(), NWTCPConnectionState::Cancelled) << "an offer nobody took is cancelled";
    EXPECT_EQ(PreparedProxyConnection::take(proxy), nullptr) << "nothing is offered once the offer ends";
    taken->cancel();
}

TEST(PreparedProxyConnection, WithNothingPreparedTheFlowsStrandIsOfferedForTheConnectionMadeInstead) {
    const auto strand = linux_system::newFlowStrand();
    EXPECT_FALSE(PreparedProxyConnection::strand());
    {
        const PreparedProxyConnection::Offer offer(strand);
        EXPECT_EQ(PreparedProxyConnection::take(NWHostEndpoint("127.0.0.1", "8080")), nullptr);
        ASSERT_TRUE(PreparedProxyConnection::strand());
        EXPECT_TRUE(*PreparedProxyConnection::strand() == strand);
        std::thread([] { EXPECT_FALSE(PreparedProxyConnection::strand()) << "another thread"; }).join();
    }
    EXPECT_FALSE(PreparedProxyConnection::strand()) << "nothing is offered once the offer ends";
}

}  // namespace
}  // namespace sentorix
