#include "CallbackTunnelOwner.h"
#include "LogCapture.h"
#include "RecordingMonitoringClient.h"
#include "SocketAppProxyTCPFlow.h"
#include "SocketTCPConnection.h"
#include "TestConnectProxy.h"
#include "DispatchQueue.h"
#include "tunnel/SXTunnelConnection.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>

#include <sys/socket.h>

#include <future>
#include <thread>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using testing::connectLoopback;
using testing::listenLoopback;
using testing::TestConnectProxy;

// A reproducible byte stream: the same seed gives the same bytes.
struct Pattern {
    explicit Pattern(std::uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    void fill(char* out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            out[i] = static_cast<char>(state);
        }
    }
    std::uint64_t state;
};

void sendPattern(int fd, std::uint64_t seed, size_t total) {
    Pattern pattern(seed);
    std::vector<char> chunk(256 * 1024);
    for (size_t sent = 0; sent < total;) {
        const size_t n = std::min(chunk.size(), total - sent);
        pattern.fill(chunk.data(), n);
        for (size_t off = 0; off < n;) {
            const ssize_t k = ::send(fd, chunk.data() + off, n - off, MSG_NOSIGNAL);
            ASSERT_GT(k, 0);
            off += size_t(k);
        }
        sent += n;
    }
    ::shutdown(fd, SHUT_WR);
}

// Reads to the end and returns how many bytes matched the pattern before the first difference.
size_t receivePattern(int fd, std::uint64_t seed) {
    Pattern pattern(seed);
    std::vector<char> chunk(256 * 1024), expected(256 * 1024);
    size_t matched = 0;
    bool intact = true;
    for (;;) {
        const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (n <= 0) {
            break;
        }
        pattern.fill(expected.data(), size_t(n));
        if (intact && std::equal(chunk.begin(), chunk.begin() + n, expected.begin())) {
            matched += size_t(n);
        } else {
            intact = false;
        }
    }
    return matched;
}

class SocketTunnel : public ::testing::Test {
protected:
    // Accepts the application's connection and wraps it, as interception will.
    std::shared_ptr<linux_system::SocketAppProxyTCPFlow> acceptFlow(int listener, std::uint16_t destinationPort) {
        linux_system::FlowSocket accepted(linux_system::newFlowStrand());
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        accepted.assign(asio::ip::tcp::v4(), fd);
        return linux_system::SocketAppProxyTCPFlow::adopt(
            std::move(accepted), NEFlowMetaData{"com.example.app"},
            std::make_shared<NWHostEndpoint>("127.0.0.1", std::to_string(destinationPort)));
    }
    std::shared_ptr<SXTunnelConnection> tunnelFor(std::shared_ptr<NEAppProxyTCPFlow> flow) {
        auto connection = linux_system::SocketTCPConnection::connect(NWHostEndpoint("127.0.0.1", std::to_string(proxy.port())));
        return std::make_shared<SXTunnelConnection>(std::move(flow), connection, "FLOW-ID", "com.example.app", 5.0,
                                                    monitoring, owner);
    }

    testing::LogCapture logs;
    TestConnectProxy proxy;
    std::shared_ptr<testing::RecordingMonitoringClient> monitoring = std::make_shared<testing::RecordingMonitoringClient>();
    std::atomic<bool> established{false};
    std::promise<void> closed;
    const std::shared_ptr<testing::CallbackTunnelOwner> owner = testing::CallbackTunnelOwner::make(
        [this](const std::string&) { established = true; }, nullptr, [this](const std::string&) { closed.set_value(); });
};

TEST_F(SocketTunnel, Relays64MiBEachWayAtOnceByteForByte) {
    constexpr size_t Total = 64u << 20;
    std::uint16_t destinationPort = 0, interceptPort = 0;
    const auto destination = listenLoopback(destinationPort);
    const auto intercept = listenLoopback(interceptPort);

    size_t destinationMatched = 0;
    std::thread server([&] {
        UniqueFd peer(::accept4(destination.get(), nullptr, nullptr, SOCK_CLOEXEC));
        std::thread down([&] { sendPattern(peer.get(), 2, Total); });
        destinationMatched = receivePattern(peer.get(), 1);
        down.join();
    });
    UniqueFd client = connectLoopback(interceptPort);
    ASSERT_TRUE(client.valid());
    auto tunnel = tunnelFor(acceptFlow(intercept.get(), destinationPort));
    tunnel->start();

    size_t clientMatched = 0;
    std::thread up([&] { sendPattern(client.get(), 1, Total); });
    clientMatched = receivePattern(client.get(), 2);
    up.join();
    server.join();
    ASSERT_EQ(closed.get_future().wait_for(10s), std::future_status::ready);

    EXPECT_EQ(destinationMatched, Total);
    EXPECT_EQ(clientMatched, Total);
    EXPECT_TRUE(established);
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_TRUE(proxy.requests()[0].starts_with("CONNECT 127.0.0.1:" + std::to_string(destinationPort) + " HTTP/1.1\r\n"));
    EXPECT_EQ(monitoring->last("tunnel_closed").context->at("detail"), "eof");
}

TEST_F(SocketTunnel, HalfClosingClientReceivesItsWholeResponse) {
    constexpr size_t ResponseBytes = 8u << 20;
    std::uint16_t destinationPort = 0, interceptPort = 0;
    const auto destination = listenLoopback(destinationPort);
    const auto intercept = listenLoopback(interceptPort);

    std::thread server([&] {
        UniqueFd peer(::accept4(destination.get(), nullptr, nullptr, SOCK_CLOEXEC));
        char buffer[256];
        std::string request;
        for (ssize_t n; (n = ::recv(peer.get(), buffer, sizeof buffer, 0)) > 0;) {
            request.append(buffer, size_t(n));
        }
        // Answers only once the request has ended.
        if (request == "GET / HTTP/1.0\r\n\r\n") {
            sendPattern(peer.get(), 7, ResponseBytes);
        }
    });
    UniqueFd client = connectLoopback(interceptPort);
    auto tunnel = tunnelFor(acceptFlow(intercept.get(), destinationPort));
    tunnel->start();
    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(::send(client.get(), request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    ::shutdown(client.get(), SHUT_WR);
    EXPECT_EQ(receivePattern(client.get(), 7), ResponseBytes);
    server.join();
    ASSERT_EQ(closed.get_future().wait_for(10s), std::future_status::ready);
}

TEST_F(SocketTunnel, ConnectionToAClosedPortReportsDisconnectedWithError) {
    std::uint16_t port = 0;
    { auto gone = listenLoopback(port); }
    auto connection = linux_system::SocketTCPConnection::connect(NWHostEndpoint("127.0.0.1", std::to_string(port)));
    for (int i = 0; i < 200 && connection->state() == NWTCPConnectionState::Connecting; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(connection->state(), NWTCPConnectionState::Disconnected);
    ASSERT_TRUE(connection->error().has_value());
    EXPECT_EQ(connection->error()->code(), ECONNREFUSED);
    connection->cancel();
    EXPECT_EQ(connection->state(), NWTCPConnectionState::Cancelled);
}

}  // namespace
}  // namespace sentorix
