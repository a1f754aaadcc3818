// Time to identify a flow's process with 500 other processes running, median and p99:
// - with the kernel programs (root; in a network namespace of its own): the accepted connection's record
//   taken from the kernel and the process's identifier, for a process seen before and for a process's
//   first connection;
// - by connection tracking (the nftables fallback): ProcessIdentifier::identify, which looks for the
//   socket's owner under /proc.

#include "KernelInterception.h"
#include "ProcessIdentifier.h"
#include "TestConnectProxy.h"
#include "UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using sentorix::UniqueFd;
using sentorix::testing::connectLoopback;
using sentorix::testing::listenLoopback;
using Clock = std::chrono::steady_clock;

asio::ip::tcp::endpoint localOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return {asio::ip::address_v4(ntohl(address.sin_addr.s_addr)), ntohs(address.sin_port)};
}

void report(const char* what, std::vector<double> micros) {
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) { return micros[std::min(micros.size() - 1, std::size_t(q * micros.size()))]; };
    std::printf("%-48s n=%-5zu median %8.1f us   p99 %8.1f us\n", what, micros.size(), at(0.5), at(0.99));
}

using sentorix::linux_system::KernelInterception;

sockaddr_in redirectedTarget() {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(8000);
    ::inet_pton(AF_INET, "127.0.0.2", &target.sin_addr);
    return target;
}

// Forks a process that connects `count` times to the redirected destination, then waits to be killed.
pid_t connectingChild(int count) {
    const pid_t child = ::fork();
    if (child == 0) {
        const auto target = redirectedTarget();
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
            ::close(fd);
        }
        ::pause();
        ::_exit(0);
    }
    return child;
}

// The kernel path, on a thread moved into a network namespace of its own.
void benchKernelPath() {
    std::thread([] {
        if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0 ||
            std::system("ip link set lo up && ip addr add 127.0.0.2/8 dev lo 2>/dev/null; true") != 0) {
            std::printf("kernel path: skipped (needs root and network namespaces)\n");
            return;
        }
        auto loaded = KernelInterception::load();
        if (!loaded) {
            std::printf("kernel path: skipped (%s)\n", loaded.error().localizedDescription().c_str());
            return;
        }
        auto kernel = std::move(*loaded);
        std::uint16_t port = 0;
        const UniqueFd server = listenLoopback(port);
        sentorix::NETransparentProxyNetworkSettings settings("127.0.0.1");
        settings.includedNetworkRules = std::vector<sentorix::NENetworkRule>{sentorix::NENetworkRule(
            sentorix::NWHostEndpoint("127.0.0.2", "8000"), 32, sentorix::NENetworkRuleProtocol::TCP)};
        if (auto configured = kernel->configure(settings, port,
                                                asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 8080));
            !configured) {
            std::printf("kernel path: skipped (%s)\n", configured.error().localizedDescription().c_str());
            return;
        }
        kernel->setClaiming(true);
        sentorix::linux_system::ProcessIdentifier identifier(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 8080));
        const auto identifyAccepted = [&] {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            UniqueFd accepted(::accept(server.get(), reinterpret_cast<sockaddr*>(&peer), &length));
            const auto start = Clock::now();
            const auto origin = kernel->takeOrigin({asio::ip::address_v4(ntohl(peer.sin_addr.s_addr)), ntohs(peer.sin_port)});
            if (origin) {
                identifier.identifyProcess(origin->pid, origin->stamp, origin->cgroup, origin->exeDevice,
                                           origin->exeInode);
            }
            const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            return origin ? micros : -1.0;
        };
        std::vector<double> known, first;
        const pid_t repeat = connectingChild(2001);
        identifyAccepted();
        for (int i = 0; i < 2000; ++i) {
            if (const double t = identifyAccepted(); t >= 0) known.push_back(t);
        }
        ::kill(repeat, SIGKILL);
        ::waitpid(repeat, nullptr, 0);
        for (int i = 0; i < 100; ++i) {
            const pid_t child = connectingChild(1);
            if (const double t = identifyAccepted(); t >= 0) first.push_back(t);
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        if (known.empty() || first.empty()) {
            std::printf("kernel path: no record found\n");
            return;
        }
        std::vector<double> all = known;
        all.insert(all.end(), first.begin(), first.end());
        report("kernel: every flow", all);
        report("kernel: new connection, process seen before", known);
        report("kernel: first connection of a new process", first);
    }).join();
}

}  // namespace

int main() {
    constexpr int Others = 500;
    std::vector<pid_t> children;
    for (int i = 0; i < Others; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            // Each holds a few descriptors, sockets among them, as real processes do.
            int fds[2];
            ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
            ::pause();
            ::_exit(0);
        }
        children.push_back(child);
    }
    benchKernelPath();
    std::uint16_t port = 0;
    const UniqueFd server = listenLoopback(port);
    const asio::ip::tcp::endpoint destination(asio::ip::address_v4::loopback(), port);
    sentorix::linux_system::ProcessIdentifier identifier(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 1));

    const auto connectOnce = [&] {
        UniqueFd client = connectLoopback(port);
        UniqueFd accepted(::accept(server.get(), nullptr, nullptr));
        return std::make_pair(std::move(client), std::move(accepted));
    };

    identifier.identify(localOf(connectOnce().first.get()), destination);  // this process is now known
    std::vector<double> known;
    for (int i = 0; i < 2000; ++i) {
        auto [client, accepted] = connectOnce();
        const auto start = Clock::now();
        identifier.identify(localOf(client.get()), destination);
        known.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::vector<double> unknown;
    for (int i = 0; i < 50; ++i) {
        // A process never seen before opens the connection.
        int ready[2];
        (void)!::pipe(ready);
        const pid_t child = ::fork();
        if (child == 0) {
            UniqueFd client = connectLoopback(port);
            const auto local = localOf(client.get());
            const std::uint16_t sent = local.port();
            (void)!::write(ready[1], &sent, sizeof sent);
            ::pause();
            ::_exit(0);
        }
        std::uint16_t childPort = 0;
        (void)!::read(ready[0], &childPort, sizeof childPort);
        UniqueFd accepted(::accept(server.get(), nullptr, nullptr));
        const auto start = Clock::now();
        identifier.identify({asio::ip::address_v4::loopback(), childPort}, destination);
        unknown.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
    }
    report("/proc: new connection, process seen before", known);
    report("/proc: first connection of a new process", unknown);
    const auto stats = identifier.statistics();
    std::printf("full /proc walks: %llu in %llu lookups\n", (unsigned long long)stats.fullScans,
                (unsigned long long)stats.lookups);
    for (pid_t child : children) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
}
