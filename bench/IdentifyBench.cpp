// Time to identify a flow's process with 500 other processes running: median and p99 of
// ProcessIdentifier::identify for new connections from a process already seen, and the first
// connection of a process not seen before (which walks /proc).

#include "ProcessIdentifier.h"
#include "TestConnectProxy.h"
#include "UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
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
    report("identify: new connection, process seen before", known);
    report("identify: first connection of a new process", unknown);
    const auto stats = identifier.statistics();
    std::printf("full /proc walks: %llu in %llu lookups\n", (unsigned long long)stats.fullScans,
                (unsigned long long)stats.lookups);
    for (pid_t child : children) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
}
