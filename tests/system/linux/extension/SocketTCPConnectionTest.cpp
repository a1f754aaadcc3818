#include "SocketTCPConnection.h"
#include "TestConnectProxy.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>

#include <future>
#include <thread>

namespace sentorix {
namespace {

using namespace std::chrono_literals;

struct Read {
    NSData data;
    OptionalError error;
};

Read readFrom(linux_system::SocketTCPConnection& connection, std::size_t minimum, std::size_t maximum) {
    std::promise<Read> promise;
    connection.readMinimumLength(minimum, maximum, [&](NSData data, OptionalError error) {
        promise.set_value({std::move(data), error});
    });
    auto future = promise.get_future();
    if (future.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "the read never completed";
        return {};
    }
    return future.get();
}

std::string text(const NSData& data) { return {data.begin(), data.end()}; }

// A handshake-sized read takes no more than it may, so that bytes after a proxy's answer stay for the
// relay; it gathers its minimum across segments, and an end of data gives what came, then nothing.
TEST(SocketTCPConnectionRead, SmallReadsStayWithinTheirMaximumGatherTheirMinimumAndEndCleanly) {
    std::uint16_t port = 0;
    const auto listener = testing::listenLoopback(port);
    auto connection = linux_system::SocketTCPConnection::connect(NWHostEndpoint("127.0.0.1", std::to_string(port)));
    UniqueFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(peer.valid());

    ASSERT_EQ(::send(peer.get(), "0123456789", 10, MSG_NOSIGNAL), 10);
    std::this_thread::sleep_for(20ms);
    const Read first = readFrom(*connection, 1, 4);
    EXPECT_FALSE(first.error);
    EXPECT_EQ(text(first.data), "0123");

    std::thread later([&] {
        std::this_thread::sleep_for(50ms);
        ::send(peer.get(), "ab", 2, MSG_NOSIGNAL);
        std::this_thread::sleep_for(50ms);
        ::send(peer.get(), "cd", 2, MSG_NOSIGNAL);
        ::shutdown(peer.get(), SHUT_WR);
    });
    const Read gathered = readFrom(*connection, 10, 64);
    later.join();
    EXPECT_FALSE(gathered.error);
    EXPECT_EQ(text(gathered.data), "456789abcd");

    const Read end = readFrom(*connection, 1, 64);
    EXPECT_FALSE(end.error);
    EXPECT_TRUE(end.data.empty());
    connection->cancel();
}

// Connected in the background, the socket arrives at the relay as the relay needs it: no delay, urgent
// data in line, not blocking (a splice on a blocking socket would hold its thread).
TEST(SocketTCPConnectionConnect, TheConnectedSocketIsReadyForTheRelay) {
    std::uint16_t port = 0;
    const auto listener = testing::listenLoopback(port);
    auto connection = linux_system::SocketTCPConnection::connect(NWHostEndpoint("127.0.0.1", std::to_string(port)));
    for (int i = 0; i < 200 && connection->state() == NWTCPConnectionState::Connecting; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(connection->state(), NWTCPConnectionState::Connected);
    std::promise<std::array<int, 3>> options;
    connection->releaseSocket([&](linux_system::FlowSocket socket) {
        std::array<int, 3> values{-1, -1, -1};
        socklen_t size = sizeof(int);
        ::getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_NODELAY, &values[0], &size);
        ::getsockopt(socket.native_handle(), SOL_SOCKET, SO_OOBINLINE, &values[1], &size);
        values[2] = (::fcntl(socket.native_handle(), F_GETFL) & O_NONBLOCK) != 0;
        options.set_value(values);
    });
    auto future = options.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(future.get(), (std::array<int, 3>{1, 1, 1}));
}

}  // namespace
}  // namespace sentorix
