#include "InterceptionListener.h"
#include "LogCapture.h"
#include "SocketTCPConnection.h"
#include "UniqueFd.h"
#include "DispatchQueue.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <future>
#include <thread>
#include <vector>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using linux_system::InterceptionListener;

const std::string Closed = "Sentorix platform: closed ";

// A blocking socket whose reads give up after two seconds; connected when `port` is set.
UniqueFd loopbackClient(bool v6, std::uint16_t port = 0) {
    UniqueFd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval timeout{2, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (port != 0) {
        sockaddr_in a4{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        sockaddr_in6 a6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
        const bool connected = v6 ? ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0
                                  : ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a4), sizeof a4) == 0;
        EXPECT_TRUE(connected) << (v6 ? "::1" : "127.0.0.1");
        ::send(fd.get(), "GET / HTTP/1.1\r\n\r\n", 18, MSG_NOSIGNAL);
    }
    return fd;
}
// The listener ended the connection (end of data or reset) rather than keeping it.
bool closedByPeer(const UniqueFd& fd) {
    char byte;
    const ssize_t n = ::recv(fd.get(), &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// AddressSanitizer's companion, UndefinedBehaviorSanitizer, checks a dynamic type through a pipe of its
// own: with no descriptor left that check itself fails, whatever our code does.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool SanitizerNeedsDescriptors = true;
#else
constexpr bool SanitizerNeedsDescriptors = false;
#endif

// Uses up the process's descriptors, under a lowered limit, for the life of the object.
class ExhaustedDescriptors {
public:
    ExhaustedDescriptors() {
        ::getrlimit(RLIMIT_NOFILE, &original_);
        rlimit lowered = original_;
        lowered.rlim_cur = std::min<rlim_t>(original_.rlim_cur, UniqueFd(::open("/dev/null", O_RDONLY)).get() + 32);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            fillers_.emplace_back(fd);
        }
    }
    ~ExhaustedDescriptors() {
        fillers_.clear();
        ::setrlimit(RLIMIT_NOFILE, &original_);
    }

private:
    rlimit original_{};
    std::vector<UniqueFd> fillers_;
};

struct InterceptionListenerTest : ::testing::Test {
    void SetUp() override {
        const auto opened = listener.open();
        ASSERT_TRUE(opened) << opened.error().localizedDescription();
        port = *listener.port();
        sockaddr_in6 loopback{AF_INET6, 0, 0, in6addr_loopback, 0};  // as the listener: IPv6 where ::1 is
        hasV6 = ::bind(loopbackClient(true).get(), reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
    }

    testing::LogCapture log;
    std::atomic<int> handled{0};
    InterceptionListener listener{DispatchQueue::pool(), [this](auto&&...) { ++handled; }};
    std::uint16_t port = 0;
    bool hasV6 = false;
};

TEST(InterceptionListenerAddress, OwnAddressesAreRecognised) {
    const auto at = [](const char* address, std::uint16_t port) {
        return asio::ip::tcp::endpoint(asio::ip::make_address(address), port);
    };
    EXPECT_TRUE(InterceptionListener::isListenerAddress(at("::1", 4000), at("::1", 4000)));
    for (const char* address : {"127.0.0.1", "127.3.2.1", "::1", "0.0.0.0", "::", "::ffff:127.0.0.1"}) {
        EXPECT_TRUE(InterceptionListener::isListenerAddress(at(address, 4000), at("127.0.0.1", 4000))) << address;
        EXPECT_FALSE(InterceptionListener::isListenerAddress(at(address, 4001), at("127.0.0.1", 4000))) << address;
    }
    for (const char* address : {"192.0.2.2", "2001:db8::2", "::ffff:192.0.2.2"}) {
        EXPECT_FALSE(InterceptionListener::isListenerAddress(at(address, 4000), at("127.0.0.1", 4000))) << address;
    }
}

// With conntrack the destination read is the listener's own; without, there is none: closed either way.
TEST_F(InterceptionListenerTest, StraightConnectionsAreClosedUnhandledAndLoggedAtMostOnceASecond) {
    constexpr int Count = 60;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < Count; ++i) {
        EXPECT_TRUE(closedByPeer(loopbackClient(hasV6 && i % 2 == 1, port))) << i;
    }
    const auto counted = [&](const std::vector<std::string>& messages) {
        std::uint64_t total = 0;
        for (const auto& message : messages) {
            total += message.starts_with(Closed) ? std::stoull(message.substr(Closed.size())) : 0;
        }
        return total;
    };
    log->waitUntil([&](const auto& messages) { return counted(messages) >= Count; }, 5s);
    EXPECT_EQ(counted(log->messages()), std::uint64_t(Count)) << "the suppressed ones are counted in a later line";
    EXPECT_LE(log->countStartingWith(Closed), 1 + size_t((std::chrono::steady_clock::now() - start) / 1s));
    EXPECT_EQ(handled.load(), 0);
}

// Out of descriptors, accepting pauses instead of spinning, says so once, and resumes afterwards.
TEST_F(InterceptionListenerTest, DescriptorShortagePausesAcceptingAndIsLogged) {
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(loopbackClient(false));
    }
    const auto cpuMicroseconds = [] {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L + usage.ru_utime.tv_usec +
               usage.ru_stime.tv_usec;
    };
    if (SanitizerNeedsDescriptors) {
        GTEST_SKIP() << "the sanitizer's own type checks need descriptors; runs in the plain and TSan builds";
    }
    long cpu = 0;
    {
        const ExhaustedDescriptors exhausted;
        for (auto& client : clients) {
            sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
            ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        }
        EXPECT_TRUE(log->waitForCount("Sentorix platform: cannot accept intercepted connections: ", 1, 2s));
        const long before = cpuMicroseconds();
        std::this_thread::sleep_for(400ms);
        cpu = cpuMicroseconds() - before;
    }
    EXPECT_EQ(log->countStartingWith("Sentorix platform: cannot accept"), 1u);
    EXPECT_LT(cpu, 150000L) << "microseconds of CPU while waiting for descriptors";
    for (auto& client : clients) {
        EXPECT_TRUE(closedByPeer(client)) << "a waiting connection was not taken afterwards";
    }
}

// What the relay relies on comes with the accepted socket itself: the application's address as the
// accept gave it, no delay, and urgent data in line (out of line, the relay would lose an urgent byte).
TEST(InterceptionListenerAccept, ConnectionsComeWithTheApplicationsAddressNoDelayAndUrgentDataInLine) {
    struct Accepted {
        int noDelay = -1, urgentInLine = -1;
        asio::ip::tcp::endpoint application, looked;
    };
    std::promise<Accepted> promise;
    asio::ip::tcp::endpoint looked;
    InterceptionListener listener(DispatchQueue::pool(), [&](linux_system::FlowSocket socket, auto application, auto, auto) {
        Accepted accepted{.application = application, .looked = looked};
        socklen_t size = sizeof(int);
        ::getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_NODELAY, &accepted.noDelay, &size);
        ::getsockopt(socket.native_handle(), SOL_SOCKET, SO_OOBINLINE, &accepted.urgentInLine, &size);
        promise.set_value(accepted);
    });
    const auto opened = listener.open([&](const asio::ip::tcp::endpoint& application) {
        looked = application;
        return std::optional(InterceptionListener::Origin{
            .destination = asio::ip::tcp::endpoint(asio::ip::make_address("192.0.2.2"), 80)});
    });
    ASSERT_TRUE(opened);
    const auto client = loopbackClient(false, *opened);
    sockaddr_in own{};
    socklen_t length = sizeof own;
    ASSERT_EQ(::getsockname(client.get(), reinterpret_cast<sockaddr*>(&own), &length), 0);
    auto future = promise.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    const auto accepted = future.get();
    EXPECT_EQ(accepted.application, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), ntohs(own.sin_port)));
    EXPECT_EQ(accepted.looked, accepted.application) << "the kernel's record is looked up by that address";
    EXPECT_EQ(accepted.noDelay, 1);
    EXPECT_EQ(accepted.urgentInLine, 1);
}

TEST(DescriptorShortage, SocketToTheProxyFailsAsBeforeAndIsLogged) {
    testing::LogCapture log;
    // The pool's reactor needs a descriptor of its own: made before they run out.
    const auto warmUp = linux_system::SocketTCPConnection::connect(NWHostEndpoint("127.0.0.1", "9"));
    std::shared_ptr<linux_system::SocketTCPConnection> connection;
    if (SanitizerNeedsDescriptors) {
        GTEST_SKIP() << "the sanitizer's own type checks need descriptors; runs in the plain and TSan builds";
    }
    // It opens on the pool's thread: done before the shortage, or its own failure would be the one logged.
    for (int i = 0; i < 200 && warmUp->state() == NWTCPConnectionState::Connecting; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(warmUp->state(), NWTCPConnectionState::Connecting);
    {
        const ExhaustedDescriptors exhausted;
        connection = linux_system::SocketTCPConnection::connect(NWHostEndpoint("127.0.0.1", "9"));
        EXPECT_TRUE(log->waitForCount("Sentorix platform: cannot open a socket to the proxy: ", 1, 2s));
    }
    for (int i = 0; i < 100 && connection->state() == NWTCPConnectionState::Connecting; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(connection->state(), NWTCPConnectionState::Disconnected);
    EXPECT_EQ(connection->error() ? connection->error()->code() : 0, EMFILE);
}

}  // namespace
}  // namespace sentorix
