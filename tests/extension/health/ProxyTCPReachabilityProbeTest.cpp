#include "TcpListener.h"
#include "health/ProxyTCPReachabilityProbe.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>

namespace sentorix {
namespace {

using R = ProxyHealthProbeResult;
using testing::TcpListener;

size_t openDescriptors() {
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                std::filesystem::directory_iterator()));
}

// A port nothing listens on: bound then released.
std::uint16_t closedPort() {
    TcpListener listener(false);
    const auto port = listener.port();
    listener.close();
    return port;
}

// Fills a listener's accept queue so that a further connection stays pending (its SYN is dropped).
std::vector<UniqueFd> fillBacklog(const TcpListener& listener) {
    std::vector<UniqueFd> fillers;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(listener.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 4; ++i) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(std::move(fd));
    }
    return fillers;
}

TEST(ProxyTCPReachabilityProbe, ListenerIsReachableAndClosedPortIsNot) {
    TcpListener listener;
    EXPECT_EQ(ProxyTCPReachabilityProbe("127.0.0.1", listener.port(), 0.35).check(), R::reachable);
    EXPECT_EQ(ProxyTCPReachabilityProbe("127.0.0.1", closedPort(), 0.35).check(), R::unreachable);
}

TEST(ProxyTCPReachabilityProbe, FullBacklogLeavesTheConnectionPendingUntilTheTimeout) {
    TcpListener listener(/*accepting=*/false, /*backlog=*/0);
    const auto fillers = fillBacklog(listener);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ProxyTCPReachabilityProbe("127.0.0.1", listener.port(), 0.35).check(), R::unreachable);
    // Not a timing assertion on speed: it proves the probe waited instead of failing at once.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST(ProxyTCPReachabilityProbe, NamesAndIPv6LiteralsAreNeverResolved) {
    TcpListener listener;
    for (const std::string host : {"localhost", "::1", "[::1]", "", "127.0.0.1.5"}) {
        EXPECT_EQ(ProxyTCPReachabilityProbe(host, listener.port(), 0.35).check(), R::unreachable) << host;
    }
    EXPECT_EQ(listener.acceptedCount(), 0);
}

TEST(ProxyTCPReachabilityProbe, NoDescriptorOutlivesAThousandChecksOfEachKind) {
    TcpListener listener;
    TcpListener stalled(/*accepting=*/false, /*backlog=*/0);
    const auto fillers = fillBacklog(stalled);
    const auto refused = closedPort();
    const size_t before = openDescriptors();
    for (int i = 0; i < 1000; ++i) {
        ProxyTCPReachabilityProbe("127.0.0.1", listener.port(), 0.35).check();
        ProxyTCPReachabilityProbe("127.0.0.1", refused, 0.35).check();
        ProxyTCPReachabilityProbe("localhost", listener.port(), 0.35).check();
        ProxyTCPReachabilityProbe("127.0.0.1", stalled.port(), 0.001).check();
    }
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace sentorix
