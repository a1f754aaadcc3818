// The kernel programs for real, in a network namespace of the test's own: the test's thread moves into
// it (a network namespace belongs to a thread), and forked children make the connections, since the
// loading process's own connections are never redirected.
#include "KernelEventStream.h"
#include "KernelInterception.h"
#include "KernelRedirection.h"

#include "NETransparentProxyNetworkSettings.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace sentorix {
namespace {

using linux_system::KernelInterception;

constexpr std::uint16_t ClosedPort = 8000;
constexpr const char* Destination = "127.0.0.2";

sockaddr_in v4(const char* address, std::uint16_t port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &out.sin_addr);
    return out;
}

sockaddr_in6 v6Loopback(std::uint16_t port) {
    sockaddr_in6 out{};
    out.sin6_family = AF_INET6;
    out.sin6_port = htons(port);
    out.sin6_addr = in6addr_loopback;
    return out;
}

// What a child saw when it connected to Destination:ClosedPort.
struct ChildResult {
    int connectErrno = -1;  // 0 when connected
    sockaddr_in peer{};
    pid_t pid = 0;
    std::uint16_t localPort = 0;
};

// Binds port 8080 on `address` (IPv4 or IPv6 text) in this process; the socket stays open.
void bindPort8080(const char* address) {
    if (std::strchr(address, ':')) {
        const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
        if (std::strncmp(address, "::ffff:", 7) != 0) {
            const int v6only = 1;  // beside, not over, what binds 0.0.0.0
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        }
        sockaddr_in6 at{};
        at.sin6_family = AF_INET6;
        at.sin6_port = htons(8080);
        ::inet_pton(AF_INET6, address, &at.sin6_addr);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const auto at = v4(address, 8080);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
}

// Forks a child that connects (and, when `bindProxyFirst`, first binds the proxy's port on that address),
// reports and exits; with `reset`, its connection ends with a reset, leaving its port free at once.
ChildResult connectFromChild(const char* bindProxyFirst = nullptr, std::uint16_t* localPort = nullptr,
                             bool reset = false) {
    int report[2];
    if (::pipe(report) != 0) {
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ChildResult result;
        if (bindProxyFirst) {
            bindPort8080(bindProxyFirst);
        }
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const auto target = v4(Destination, ClosedPort);
        result.connectErrno = ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0 ? 0 : errno;
        socklen_t length = sizeof result.peer;
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&result.peer), &length);
        result.pid = ::getpid();
        sockaddr_in local{};
        length = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        result.localPort = ntohs(local.sin_port);
        if (reset) {
            const linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            ::close(fd);
        }
        (void)!::write(report[1], &result, sizeof result);
        ::_exit(0);
    }
    ::close(report[1]);
    ChildResult result;
    (void)!::read(report[0], &result, sizeof result);
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    if (localPort) {
        *localPort = result.localPort;
    }
    return result;
}

// A listener standing in for the interception listener.
int listenOn(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    auto address = v4("127.0.0.1", 0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(fd, 16);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

NETransparentProxyNetworkSettings settings() {
    NETransparentProxyNetworkSettings out("127.0.0.1");
    out.includedNetworkRules = std::vector<NENetworkRule>{
        NENetworkRule(NWHostEndpoint("127.0.0.0", std::to_string(ClosedPort)), 8, NENetworkRuleProtocol::TCP)};
    out.excludedNetworkRules = std::vector<NENetworkRule>{
        NENetworkRule(NWHostEndpoint("127.0.0.1", "8080"), 32, NENetworkRuleProtocol::TCP)};
    return out;
}

class KernelInterceptionTest : public ::testing::Test {
protected:
    // Runs `body` on a thread of its own in a fresh network namespace with loopback up.
    template <typename Body>
    void inOwnNamespace(Body body) {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to load kernel programs and make a network namespace";
        }
        std::string skip;
        std::thread([&] {
            if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up && ip addr add 127.0.0.2/8 dev lo 2>/dev/null; true") != 0) {
                skip = "cannot make a network namespace here";
                return;
            }
            auto kernel = KernelInterception::load();
            if (!kernel) {
                skip = "kernel programs unavailable: " + kernel.error().localizedDescription();
                return;
            }
            body(**kernel);
        }).join();
        if (!skip.empty()) {
            GTEST_SKIP() << skip;
        }
    }

};

TEST_F(KernelInterceptionTest, RedirectsOnlyWhileClaimingAndKeepsThePeerAndTheOrigin) {
    inOwnNamespace([](KernelInterception& kernel) {
        std::uint16_t port = 0;
        const int listener = listenOn(port);
        const asio::ip::tcp::endpoint proxy(asio::ip::make_address("127.0.0.1"), 8080);
        ASSERT_TRUE(kernel.configure(settings(), port, proxy));

        EXPECT_EQ(connectFromChild().connectErrno, ECONNREFUSED) << "nothing is redirected before claiming";

        kernel.setClaiming(true);
        const auto redirected = connectFromChild();
        ASSERT_EQ(redirected.connectErrno, 0);
        char shown[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &redirected.peer.sin_addr, shown, sizeof shown);
        EXPECT_STREQ(shown, Destination) << "getpeername shows the destination asked for";
        EXPECT_EQ(ntohs(redirected.peer.sin_port), ClosedPort);

        sockaddr_in application{};
        socklen_t length = sizeof application;
        const int accepted = ::accept(listener, reinterpret_cast<sockaddr*>(&application), &length);
        ASSERT_GE(accepted, 0);
        const asio::ip::tcp::endpoint peer(asio::ip::address_v4(ntohl(application.sin_addr.s_addr)),
                                           ntohs(application.sin_port));
        const auto origin = kernel.takeOrigin(peer);
        ASSERT_TRUE(origin);
        EXPECT_EQ(origin->destination, asio::ip::tcp::endpoint(asio::ip::make_address(Destination), ClosedPort));
        EXPECT_EQ(origin->pid, redirected.pid);
        EXPECT_NE(origin->stamp, 0u);
        struct stat program {};
        ASSERT_EQ(::stat("/proc/self/exe", &program), 0);
        EXPECT_EQ(origin->exeInode, program.st_ino) << "the child runs this test's program";
        EXPECT_FALSE(kernel.takeOrigin(peer)) << "a record is read once";
        ::close(accepted);
        ::close(listener);
    });
}

// The service detaches the programs of an extension that does not answer; the extension, heard again,
// attaches them anew.
TEST_F(KernelInterceptionTest, ProgramsDetachedFromOutsideAreAttachedAgain) {
    inOwnNamespace([](KernelInterception& kernel) {
        std::uint16_t port = 0;
        const int listener = listenOn(port);
        ASSERT_TRUE(kernel.configure(settings(), port, {asio::ip::make_address("127.0.0.1"), 8080}));
        kernel.setClaiming(true);
        EXPECT_EQ(kernel.reattachDetached().value(), 0) << "nothing to do while attached";
        ASSERT_GT(linux_system::KernelRedirection::removeFor(::getpid()).links, 0);
        EXPECT_EQ(connectFromChild().connectErrno, ECONNREFUSED) << "detached: connections go direct";

        const auto attached = kernel.reattachDetached();
        ASSERT_TRUE(attached) << attached.error().localizedDescription();
        EXPECT_GT(*attached, 0);
        EXPECT_EQ(connectFromChild().connectErrno, 0) << "redirected again, with the rules as they were";
        ::close(listener);
    });
}

// Without an IPv6 socket on the listener, an IPv6 connection rewritten to ::1 would be refused there.
TEST_F(KernelInterceptionTest, IPv6ConnectionsAreRedirectedOnlyToAListenerWithAnIPv6Socket) {
    inOwnNamespace([](KernelInterception& kernel) {
        std::uint16_t port = 0;
        const int listener = listenOn(port);
        auto rules = settings();
        rules.includedNetworkRules->push_back(
            NENetworkRule(NWHostEndpoint("::1", std::to_string(ClosedPort)), 128, NENetworkRuleProtocol::TCP));
        const auto listenV6 = [](std::uint16_t at) {
            const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
            const int only = 1;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
            const auto address = v6Loopback(at);
            EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
            ::listen(fd, 4);
            return fd;
        };
        // Which listener a child's connection to [::1]:ClosedPort reached.
        const auto reached = [](int fd) {
            const pid_t child = ::fork();
            if (child == 0) {
                const int out = ::socket(AF_INET6, SOCK_STREAM, 0);
                const auto target = v6Loopback(ClosedPort);
                ::_exit(::connect(out, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0 ? 0 : 1);
            }
            int status = 0;
            ::waitpid(child, &status, 0);
            pollfd ready{fd, POLLIN, 0};
            return WEXITSTATUS(status) == 0 && ::poll(&ready, 1, 1000) == 1;
        };
        const int destination = listenV6(ClosedPort);
        ASSERT_TRUE(kernel.configure(rules, port, {asio::ip::make_address("127.0.0.1"), 8080}, false));
        kernel.setClaiming(true);
        EXPECT_TRUE(reached(destination)) << "left to go where it asked";

        const int v6 = listenV6(port);
        ASSERT_TRUE(kernel.configure(rules, port, {asio::ip::make_address("127.0.0.1"), 8080}, true));
        EXPECT_TRUE(reached(v6)) << "redirected to the listener's IPv6 socket";
        ::close(v6);
        ::close(destination);
        ::close(listener);
    });
}

// A socket bound to a device must leave by it: rewritten to loopback it would be unreachable.
TEST_F(KernelInterceptionTest, SocketsBoundToADeviceAreLeftAlone) {
    inOwnNamespace([](KernelInterception& kernel) {
        std::uint16_t port = 0;
        const int listener = listenOn(port);
        ASSERT_TRUE(kernel.configure(settings(), port, {asio::ip::make_address("127.0.0.1"), 8080}));
        kernel.setClaiming(true);
        const auto boundConnect = [](bool bind) {
            const pid_t child = ::fork();
            if (child == 0) {
                const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                if (bind && ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, "lo", 3) != 0) {
                    ::_exit(200);
                }
                const auto target = v4(Destination, ClosedPort);
                ::_exit(::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0 ? 0 : errno);
            }
            int status = 0;
            ::waitpid(child, &status, 0);
            return WEXITSTATUS(status);
        };
        EXPECT_EQ(boundConnect(false), 0) << "an unbound socket is redirected to the listener";
        EXPECT_EQ(boundConnect(true), ECONNREFUSED) << "a bound one goes where it asked: the closed port";
        ::close(listener);
    });
}

TEST_F(KernelInterceptionTest, DecidedProcessesAndTheProxyKeepTheirConnections) {
    inOwnNamespace([](KernelInterception& kernel) {
        std::uint16_t port = 0;
        const int listener = listenOn(port);
        ASSERT_TRUE(kernel.configure(settings(), port, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 8080)));
        kernel.setClaiming(true);

        // Binding the proxy's address and port marks the process at once, from its first connection.
        EXPECT_EQ(connectFromChild(/*bindProxyFirst=*/"127.0.0.1").connectErrno, ECONNREFUSED);
        EXPECT_EQ(connectFromChild(/*bindProxyFirst=*/"::ffff:127.0.0.1").connectErrno, ECONNREFUSED)
            << "the same address through an IPv6 socket";
        // The port elsewhere is not the proxy: such a process is intercepted as any other.
        for (const char* elsewhere : {"::1", "0.0.0.0", "::", "127.0.0.2"}) {
            EXPECT_EQ(connectFromChild(elsewhere).connectErrno, 0) << "bound 8080 on " << elsewhere;
            const int accepted = ::accept(listener, nullptr, nullptr);
            EXPECT_GE(accepted, 0) << "bound 8080 on " << elsewhere;
            ::close(accepted);
        }

        // What the kernel knew of a process ends with it.
        ASSERT_EQ(connectFromChild().connectErrno, 0);
        sockaddr_in application{};
        socklen_t length = sizeof application;
        const int accepted = ::accept(listener, reinterpret_cast<sockaddr*>(&application), &length);
        const auto origin = kernel.takeOrigin(asio::ip::tcp::endpoint(
            asio::ip::address_v4(ntohl(application.sin_addr.s_addr)), ntohs(application.sin_port)));
        ASSERT_TRUE(origin);
        EXPECT_FALSE(kernel.verdictOf(origin->pid)) << "the process has ended: the kernel forgot it";
        kernel.publish(origin->pid, origin->stamp, KernelInterception::Verdict::direct);
        EXPECT_FALSE(kernel.verdictOf(origin->pid)) << "nothing is published for a process that has ended";
        ::close(accepted);

        kernel.markProxyProcess(::getpid());
        EXPECT_EQ(kernel.verdictOf(::getpid()), KernelInterception::Verdict::proxy);
        // A child forked by a decided process inherits the decision.
        EXPECT_EQ(connectFromChild().connectErrno, ECONNREFUSED);
        ::close(listener);
    });
}

// A program the proxy execs is a new program: what it starts must not pass for the proxy. The child binds
// the proxy's address, then execs a shell that connects; 0 when the shell's connection was redirected.
TEST_F(KernelInterceptionTest, TheProxysMarkEndsWhenItExecsAnotherProgram) {
    inOwnNamespace([](KernelInterception& kernel) {
        std::uint16_t port = 0;
        const int listener = listenOn(port);
        ASSERT_TRUE(kernel.configure(settings(), port, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 8080)));
        kernel.setClaiming(true);
        const std::string connect =
            "exec 3<>/dev/tcp/" + std::string(Destination) + "/" + std::to_string(ClosedPort);
        const pid_t child = ::fork();
        if (child == 0) {
            bindPort8080("127.0.0.1");
            ::execl("/bin/bash", "bash", "-c", connect.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "the shell's connection went straight to the closed port";
        ::close(listener);
    });
}

// Forks a child that sends one datagram to each port in turn from one socket, and returns each errno.
std::vector<int> sendFromChild(const std::vector<std::uint16_t>& ports) {
    int report[2];
    if (::pipe(report) != 0) {
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        for (const auto port : ports) {
            const auto target = v4(Destination, port);
            const int error = ::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 1 ? 0 : errno;
            (void)!::write(report[1], &error, sizeof error);
        }
        ::_exit(0);
    }
    ::close(report[1]);
    std::vector<int> errors(ports.size(), -1);
    for (auto& error : errors) {
        (void)!::read(report[0], &error, sizeof error);
    }
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    return errors;
}

// A refusal that finds the ring full is not heard; the flow must be reported when it is tried again.
TEST_F(KernelInterceptionTest, AUdpFlowRefusedWhileTheRingIsFullIsReportedOnItsNextTry) {
    inOwnNamespace([](KernelInterception& kernel) {
        auto rules = settings();
        rules.includedNetworkRules->push_back(NENetworkRule(NWHostEndpoint(Destination, "0"), 32, NENetworkRuleProtocol::UDP));
        ASSERT_TRUE(kernel.configure(rules, 1, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 8080)));
        kernel.setClaiming(true);
        int filled[2], again[2];
        ASSERT_EQ(::pipe(filled), 0);
        ASSERT_EQ(::pipe(again), 0);
        constexpr std::uint16_t Late = 20000;
        const pid_t child = ::fork();
        if (child == 0) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            const auto send = [fd](std::uint16_t port) {
                const auto target = v4(Destination, port);
                ::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
            };
            for (std::uint16_t port = 10000; port < 14000; ++port) {  // more flows than the ring holds
                send(port);
            }
            send(Late);
            char go = 0;
            (void)!::write(filled[1], &go, 1);
            (void)!::read(again[0], &go, 1);
            send(Late);
            ::_exit(0);
        }
        char go = 0;
        ASSERT_EQ(::read(filled[0], &go, 1), 1);
        asio::io_context io;
        std::vector<std::uint16_t> reported;
        auto stream = linux_system::KernelEventStream::open(
            kernel.eventsMap(), io.get_executor(), [&](const sentorix_event& event) {
                if (event.kind == SENTORIX_EVENT_UDP_FLOW) {
                    reported.push_back(event.remote_port);
                }
            });
        ASSERT_TRUE(stream) << stream.error().localizedDescription();
        io.run_for(std::chrono::milliseconds(200));
        io.restart();
        ASSERT_LT(reported.size(), 4000u) << "the ring was meant to overflow";
        EXPECT_EQ(std::count(reported.begin(), reported.end(), Late), 0);
        (void)!::write(again[1], &go, 1);
        ::waitpid(child, nullptr, 0);
        io.run_for(std::chrono::milliseconds(200));
        EXPECT_EQ(std::count(reported.begin(), reported.end(), Late), 1) << "reported once there was room";
        (*stream)->stop();
        for (const int fd : {filled[0], filled[1], again[0], again[1]}) {
            ::close(fd);
        }
    });
}

// On btrfs, stat() gives a subvolume's own device number, not its superblock's, which the programs read:
// a program already running there must be found with the programs' numbers, or its bypass is missed.
TEST_F(KernelInterceptionTest, TheStartUpScanNumbersDevicesAsTheProgramsDoOnABtrfsSubvolume) {
    inOwnNamespace([](KernelInterception& kernel) {
        char made[] = "/tmp/sentorix-btrfs.XXXXXX";
        ASSERT_NE(::mkdtemp(made), nullptr);
        const std::string mount = made, image = mount + ".img";
        struct Cleanup {
            std::string mount, image;
            ~Cleanup() { (void)!std::system(("umount -q " + mount + "; rm -rf " + mount + " " + image).c_str()); }
        } cleanup{mount, image};
        if (std::system(("truncate -s 256M " + image + " && mkfs.btrfs -q " + image + " >/dev/null && mount -o loop " +
                         image + " " + mount + " && btrfs -q subvolume create " + mount + "/volume && cp /bin/sleep " +
                         mount + "/volume/sleep")
                            .c_str()) != 0) {
            GTEST_SKIP() << "cannot make and mount a btrfs file system here (btrfs-progs, loop devices)";
        }
        asio::io_context io;
        std::vector<sentorix_event> events;
        auto stream = linux_system::KernelEventStream::open(
            kernel.eventsMap(), io.get_executor(), [&](const sentorix_event& event) { events.push_back(event); });
        ASSERT_TRUE(stream) << stream.error().localizedDescription();
        const std::string program = mount + "/volume/sleep";
        const pid_t child = ::fork();
        if (child == 0) {
            ::execl(program.c_str(), "sleep", "5", nullptr);
            ::_exit(127);
        }
        io.run_for(std::chrono::milliseconds(300));
        struct stat file {};
        ASSERT_EQ(::stat(program.c_str(), &file), 0);
        const auto seen = std::find_if(events.begin(), events.end(), [&](const sentorix_event& event) {
            return event.kind == SENTORIX_EVENT_PROCESS && event.identity.exe_inode == file.st_ino;
        });
        const auto running = kernel.runningIdentities();
        const auto scanned = std::find_if(running.begin(), running.end(), [&](const auto& p) { return p.first == child; });
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        (*stream)->stop();
        ASSERT_NE(seen, events.end()) << "the programs report the program's start";
        ASSERT_NE(scanned, running.end());
        EXPECT_EQ(scanned->second.exe_dev, seen->identity.exe_dev);
        EXPECT_EQ(scanned->second.exe_inode, seen->identity.exe_inode);
    });
}

TEST_F(KernelInterceptionTest, RefusesIncludedUdpOnceReportedPerFlowUnlessTheIdentityIsDirect) {
    inOwnNamespace([](KernelInterception& kernel) {
        auto rules = settings();
        rules.includedNetworkRules->push_back(NENetworkRule(NWHostEndpoint("0.0.0.0", "443"), 0, NENetworkRuleProtocol::UDP));
        ASSERT_TRUE(kernel.configure(rules, 1, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 8080)));
        asio::io_context io;
        std::vector<sentorix_event> events;
        auto stream = linux_system::KernelEventStream::open(
            kernel.eventsMap(), io.get_executor(), [&](const sentorix_event& event) { events.push_back(event); });
        ASSERT_TRUE(stream) << stream.error().localizedDescription();
        const auto drain = [&] { io.run_for(std::chrono::milliseconds(100)); io.restart(); };

        EXPECT_EQ(sendFromChild({443}), std::vector<int>{0}) << "nothing is refused before claiming";
        kernel.setClaiming(true);
        drain();
        events.clear();
        EXPECT_EQ(sendFromChild({443, 443, 4433}), (std::vector<int>{EPERM, EPERM, 0}))
            << "port 443 is refused at once, every time; other ports pass";
        drain();
        ASSERT_EQ(events.size(), 1u) << "one report for the flow, not one per datagram";
        EXPECT_EQ(events[0].kind, SENTORIX_EVENT_UDP_FLOW);
        EXPECT_EQ(events[0].remote_port, 443);
        EXPECT_EQ(events[0].remote[0], htonl(0x7f000002));
        struct stat program {};
        ASSERT_EQ(::stat("/proc/self/exe", &program), 0);
        EXPECT_EQ(events[0].identity.exe_inode, program.st_ino);

        // What a start-up scan finds for a process of this program in the namespace is what the programs
        // see: the same program, cgroup and device numbering.
        const pid_t waiting = ::fork();
        if (waiting == 0) {
            ::pause();
            ::_exit(0);
        }
        const auto running = kernel.runningIdentities();
        ::kill(waiting, SIGKILL);
        ::waitpid(waiting, nullptr, 0);
        const auto self = std::find_if(running.begin(), running.end(), [&](const auto& p) { return p.first == waiting; });
        ASSERT_NE(self, running.end());
        EXPECT_EQ(self->second.cgroup, events[0].identity.cgroup);
        EXPECT_EQ(self->second.exe_dev, events[0].identity.exe_dev);
        EXPECT_EQ(self->second.exe_inode, events[0].identity.exe_inode);
        EXPECT_EQ(std::count_if(running.begin(), running.end(), [](const auto& p) { return p.first == ::getpid(); }), 0)
            << "this process lives in another namespace than the programs act in";

        kernel.publishIdentity(events[0].identity, /*direct=*/true);
        EXPECT_EQ(sendFromChild({443}), std::vector<int>{0}) << "a bypassed identity is never refused";
        kernel.publishIdentity(events[0].identity, /*direct=*/false);
        EXPECT_EQ(sendFromChild({443}), std::vector<int>{EPERM});

        // A program started in this namespace is reported once, before it sends anything.
        events.clear();
        ASSERT_EQ(std::system("/bin/true && /bin/true"), 0);
        drain();
        struct stat trueProgram {};
        ASSERT_EQ(::stat("/bin/true", &trueProgram), 0);
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [&](const sentorix_event& event) {
                                    return event.kind == SENTORIX_EVENT_PROCESS &&
                                           event.identity.exe_inode == trueProgram.st_ino;
                                }),
                  1);

        kernel.setClaiming(false);
        EXPECT_EQ(sendFromChild({443}), std::vector<int>{0}) << "with the gate closed, nothing is refused";
        (*stream)->stop();
        drain();
    });
}

TEST_F(KernelInterceptionTest, AStraightConnectionCannotPassForAnEarlierRedirectedOne) {
    inOwnNamespace([](KernelInterception& kernel) {
        std::uint16_t port = 0;
        const int listener = listenOn(port);
        ASSERT_TRUE(kernel.configure(settings(), port, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 8080)));
        kernel.setClaiming(true);
        // A redirected connection whose record is never taken: accepted and dropped, as under a flood.
        std::uint16_t used = 0;
        ASSERT_EQ(connectFromChild(nullptr, &used, /*reset=*/true).connectErrno, 0);
        ::close(::accept(listener, nullptr, nullptr));

        // Someone connects straight to the listener from the same address and port.
        const int straight = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(straight, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const auto from = v4("127.0.0.1", used);
        ASSERT_EQ(::bind(straight, reinterpret_cast<const sockaddr*>(&from), sizeof from), 0) << std::strerror(errno);
        const auto to = v4("127.0.0.1", port);
        ASSERT_EQ(::connect(straight, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0) << std::strerror(errno);
        const int accepted = ::accept(listener, nullptr, nullptr);
        EXPECT_FALSE(kernel.takeOrigin(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), used)))
            << "the earlier connection's record would give it a destination and an identity";
        ::close(accepted);
        ::close(straight);
        ::close(listener);
    });
}

// What the extension sees in a container: its own pid namespace, where it is pid 1. Everything the
// programs record must be the pids it sees there, on both ways of reading them. Returns what failed.
std::string checkInOwnPidNamespace(bool askKernelForPids) {
    std::string failed;
    const auto expect = [&](bool ok, const std::string& what) {
        if (!ok) {
            failed += what + "; ";
        }
    };
    if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up && ip addr add 127.0.0.2/8 dev lo") != 0) {
        return "SKIP cannot make a network namespace";
    }
    auto loaded = KernelInterception::load(askKernelForPids);
    if (!loaded) {
        return "SKIP kernel programs unavailable: " + loaded.error().localizedDescription();
    }
    const auto& kernel = *loaded;
    std::uint16_t port = 0;
    const int listener = listenOn(port);
    if (!kernel->configure(settings(), port, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 8080))) {
        return "cannot configure";
    }
    kernel->setClaiming(true);
    const auto originOfNext = [&]() -> std::optional<KernelInterception::Origin> {
        sockaddr_in application{};
        socklen_t size = sizeof application;
        pollfd ready{listener, POLLIN, 0};
        if (::poll(&ready, 1, 2000) != 1) {
            return std::nullopt;
        }
        const int accepted = ::accept(listener, reinterpret_cast<sockaddr*>(&application), &size);
        auto origin = kernel->takeOrigin(asio::ip::tcp::endpoint(
            asio::ip::address_v4(ntohl(application.sin_addr.s_addr)), ntohs(application.sin_port)));
        ::close(accepted);
        return origin;
    };

    // Its own connections stay its own: the pid it publishes is its pid here.
    const int own = ::socket(AF_INET, SOCK_STREAM, 0);
    const auto target = v4(Destination, ClosedPort);
    expect(::connect(own, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 && errno == ECONNREFUSED,
           "the extension's own connect was redirected");
    ::close(own);

    const auto child = connectFromChild();
    expect(child.connectErrno == 0, "a child's connect was not redirected");
    const auto origin = originOfNext();
    expect(origin && origin->pid == child.pid && child.pid > 1 && child.pid < 100,
           "the origin's pid is not the child's here: " + std::to_string(origin ? origin->pid : -1) + " vs " +
               std::to_string(child.pid));

    // A sandbox nested below: named by its pid here, not by its pid in the sandbox.
    int report[2];
    (void)!::pipe(report);
    const pid_t middle = ::fork();
    if (middle == 0) {
        if (::unshare(CLONE_NEWPID) != 0) {
            ::_exit(1);
        }
        const pid_t nested = ::fork();
        if (nested == 0) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            (void)!::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
            ::sleep(1);
            ::_exit(0);
        }
        (void)!::write(report[1], &nested, sizeof nested);
        ::waitpid(nested, nullptr, 0);
        ::_exit(0);
    }
    pid_t nested = 0;
    (void)!::read(report[0], &nested, sizeof nested);
    const auto nestedOrigin = originOfNext();
    ::waitpid(middle, nullptr, 0);
    expect(nestedOrigin && nestedOrigin->pid == nested,
           "a nested namespace's process is not named by its pid here: " +
               std::to_string(nestedOrigin ? nestedOrigin->pid : -1) + " vs " + std::to_string(nested));

    // The proxy's bind marks its pid here; a fork of a decided process inherits by its pid here.
    expect(connectFromChild("127.0.0.1").connectErrno == ECONNREFUSED, "the proxy's connect was redirected");
    kernel->markProxyProcess(::getpid());
    expect(kernel->verdictOf(1) == KernelInterception::Verdict::proxy, "pid 1 is not marked");
    expect(connectFromChild().connectErrno == ECONNREFUSED, "a decided process's child was redirected");
    ::close(listener);
    return failed;
}

TEST(KernelInterceptionPidNamespace, ProcessesAreNamedAsTheExtensionsOwnPidNamespaceSeesThem) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to load kernel programs and make namespaces";
    }
    for (const bool askKernel : {true, false}) {
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t outer = ::fork();
        if (outer == 0) {
            if (::unshare(CLONE_NEWPID) != 0) {
                ::_exit(2);
            }
            const pid_t first = ::fork();  // pid 1 of the new namespace: where the extension runs
            if (first == 0) {
                const std::string failed = checkInOwnPidNamespace(askKernel);
                (void)!::write(report[1], failed.data(), failed.size());
                ::_exit(0);
            }
            ::waitpid(first, nullptr, 0);
            ::_exit(0);
        }
        ::close(report[1]);
        std::string failed;
        char chunk[512];
        for (ssize_t got; (got = ::read(report[0], chunk, sizeof chunk)) > 0;) {
            failed.append(chunk, static_cast<std::size_t>(got));
        }
        ::close(report[0]);
        int status = 0;
        ::waitpid(outer, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "cannot make a pid namespace here";
        if (failed.starts_with("SKIP")) {
            GTEST_SKIP() << failed.substr(5);
        }
        EXPECT_EQ(failed, "") << (askKernel ? "pids asked of the kernel" : "pids read from each task");
    }
}

TEST(KernelInterceptionRules, ExcludedRulesComeFirstNamesAreLeftOutAndProtocolsKept) {
    NETransparentProxyNetworkSettings settings("127.0.0.1");
    settings.includedNetworkRules = std::vector<NENetworkRule>{
        NENetworkRule(NWHostEndpoint("0.0.0.0", "80"), 0, NENetworkRuleProtocol::TCP),
        NENetworkRule(NWHostEndpoint("::", "443"), 0, NENetworkRuleProtocol::TCP),
        NENetworkRule(NWHostEndpoint("0.0.0.0", "443"), 0, NENetworkRuleProtocol::UDP),
        NENetworkRule(NWHostEndpoint("example.com", "80"), 0, NENetworkRuleProtocol::TCP),
        NENetworkRule(NWHostEndpoint("::", "80"), 0, NENetworkRuleProtocol::Any)};
    settings.excludedNetworkRules = std::vector<NENetworkRule>{
        NENetworkRule(NWHostEndpoint("127.0.0.1", "8080"), 40, NENetworkRuleProtocol::TCP)};
    const auto rules = KernelInterception::kernelRules(settings);
    ASSERT_TRUE(rules);
    ASSERT_EQ(rules->size(), 6u);
    EXPECT_EQ((*rules)[0].include, 0);
    EXPECT_EQ((*rules)[0].prefix, 32) << "a prefix longer than the address is clamped";
    EXPECT_EQ((*rules)[0].addr[0], htonl(0x7f000001));
    EXPECT_EQ((*rules)[1].port, 80);
    EXPECT_EQ((*rules)[1].protocol, IPPROTO_TCP);
    EXPECT_EQ((*rules)[2].family, AF_INET6);
    EXPECT_EQ((*rules)[3].protocol, IPPROTO_UDP);
    EXPECT_EQ((*rules)[3].port, 443);
    EXPECT_EQ((*rules)[4].protocol, IPPROTO_TCP) << "a rule for any protocol is one for each";
    EXPECT_EQ((*rules)[5].protocol, IPPROTO_UDP);

    settings.includedNetworkRules->assign(SENTORIX_MAX_RULES, settings.includedNetworkRules->front());
    EXPECT_FALSE(KernelInterception::kernelRules(settings)) << "more rules than the kernel holds are refused";
}

}  // namespace
}  // namespace sentorix
