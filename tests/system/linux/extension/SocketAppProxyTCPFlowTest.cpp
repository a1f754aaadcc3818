#include "SocketAppProxyTCPFlow.h"
#include "SocketTCPConnection.h"
#include "TestConnectProxy.h"
#include "DispatchQueue.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <future>
#include <thread>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using testing::connectLoopback;
using testing::listenLoopback;

// application <-> [flow | relayWith | connection] <-> proxy, with the connection up.
struct FlowAndConnection {
    UniqueFd application, proxy;
    std::shared_ptr<linux_system::SocketAppProxyTCPFlow> flow;
    std::shared_ptr<linux_system::SocketTCPConnection> connection;
    std::promise<OptionalError> done;  // a second completion would throw

    FlowAndConnection() {
        std::uint16_t interceptPort = 0, proxyPort = 0;
        const auto intercept = listenLoopback(interceptPort);
        const auto proxyListener = listenLoopback(proxyPort);
        application = connectLoopback(interceptPort);
        linux_system::FlowSocket accepted(linux_system::newFlowStrand());
        accepted.assign(asio::ip::tcp::v4(), ::accept4(intercept.get(), nullptr, nullptr, SOCK_CLOEXEC));
        flow = linux_system::SocketAppProxyTCPFlow::adopt(std::move(accepted), NEFlowMetaData{"app"},
                                                          std::make_shared<NWHostEndpoint>("127.0.0.1", "443"));
        connection = linux_system::SocketTCPConnection::connect(NWHostEndpoint("127.0.0.1", std::to_string(proxyPort)));
        proxy.reset(::accept4(proxyListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        for (int i = 0; i < 400 && connection->state() != NWTCPConnectionState::Connected; ++i) {
            std::this_thread::sleep_for(5ms);
        }
    }
    bool relay() {
        return flow->relayWith(connection, [this](OptionalError error) { done.set_value(std::move(error)); });
    }
};

std::string receive(int fd, size_t n) {
    std::string text(n, '\0');
    const ssize_t got = ::recv(fd, text.data(), n, MSG_WAITALL);
    text.resize(got > 0 ? size_t(got) : 0);
    return text;
}

void send(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size()));
}

TEST(SocketAppProxyTCPFlowRelay, MovesBothWaysKeepsEachHalfCloseAndEndsCleanlyOnce) {
    FlowAndConnection pair;
    ASSERT_EQ(pair.connection->state(), NWTCPConnectionState::Connected);
    send(pair.application.get(), "early");  // waiting in the flow's socket before the hand-over
    ASSERT_TRUE(pair.relay());
    auto done = pair.done.get_future();
    EXPECT_EQ(receive(pair.proxy.get(), 5), "early");
    send(pair.proxy.get(), "pong");
    EXPECT_EQ(receive(pair.application.get(), 4), "pong");

    ::shutdown(pair.application.get(), SHUT_WR);
    char byte;
    EXPECT_EQ(::recv(pair.proxy.get(), &byte, 1, 0), 0) << "the application's end reaches the proxy";
    send(pair.proxy.get(), "still answering");
    EXPECT_EQ(receive(pair.application.get(), 15), "still answering");
    EXPECT_EQ(done.wait_for(50ms), std::future_status::timeout) << "one direction still open";

    ::shutdown(pair.proxy.get(), SHUT_WR);
    EXPECT_EQ(::recv(pair.application.get(), &byte, 1, 0), 0);
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(done.get(), std::nullopt);

    // The core still closes both objects afterwards, and a stray read must do no harm.
    std::promise<OptionalError> read;
    pair.flow->readData([&](NSData, OptionalError error) { read.set_value(error); });
    pair.flow->closeReadWithError(std::nullopt);
    pair.flow->closeWriteWithError(std::nullopt);
    pair.connection->cancel();
    EXPECT_TRUE(read.get_future().get().has_value());
    std::this_thread::sleep_for(20ms);  // time for a second completion to show
}

TEST(SocketAppProxyTCPFlowRelay, ResetOnOneSideResetsTheOtherAndReportsTheError) {
    FlowAndConnection pair;
    ASSERT_TRUE(pair.relay());
    auto done = pair.done.get_future();
    send(pair.application.get(), "x");
    EXPECT_EQ(receive(pair.proxy.get(), 1), "x");
    const ::linger abortive{1, 0};
    ::setsockopt(pair.proxy.get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    pair.proxy.reset();
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    const auto error = done.get();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code(), ECONNRESET);
    char byte;
    EXPECT_EQ(::recv(pair.application.get(), &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET) << "the application sees its connection fail, not end";
}

}  // namespace
}  // namespace sentorix
