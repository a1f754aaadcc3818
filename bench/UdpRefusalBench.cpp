// What a refused UDP send costs the application, against a send the programs let through, median and
// p99 over many sends (root; in a network namespace of its own, with the kernel programs loaded and
// claiming): sendto() of one byte to 127.0.0.2:443 (refused) and to 127.0.0.2:4433 (not intercepted).

#include "KernelInterception.h"
#include "NETransparentProxyNetworkSettings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using sentorix::linux_system::KernelInterception;
using Clock = std::chrono::steady_clock;

void report(const char* what, std::vector<double> micros) {
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) { return micros[std::min(micros.size() - 1, std::size_t(q * micros.size()))]; };
    std::printf("%-48s n=%-5zu median %8.2f us   p99 %8.2f us\n", what, micros.size(), at(0.5), at(0.99));
}

std::vector<double> timeSends(std::uint16_t port, int count, int& refused) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.2", &target.sin_addr);
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const bool sent = ::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 1;
        refused += sent ? 0 : 1;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ::close(fd);
    return micros;
}

}  // namespace

int main() {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0 ||
        std::system("ip link set lo up && ip addr add 127.0.0.2/8 dev lo 2>/dev/null; true") != 0) {
        std::printf("refused UDP send: skipped (needs root and network namespaces)\n");
        return 0;
    }
    auto loaded = KernelInterception::load();
    if (!loaded) {
        std::printf("refused UDP send: skipped (kernel programs unavailable: %s)\n",
                    loaded.error().localizedDescription().c_str());
        return 0;
    }
    auto kernel = std::move(*loaded);
    sentorix::NETransparentProxyNetworkSettings settings("127.0.0.1");
    settings.includedNetworkRules = std::vector<sentorix::NENetworkRule>{
        sentorix::NENetworkRule(sentorix::NWHostEndpoint("0.0.0.0", "443"), 0, sentorix::NENetworkRuleProtocol::UDP),
        sentorix::NENetworkRule(sentorix::NWHostEndpoint("0.0.0.0", "80"), 0, sentorix::NENetworkRuleProtocol::TCP)};
    if (!kernel->configure(settings, 1, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 8080))) {
        return 1;
    }
    kernel->setClaiming(true);
    // The loading process's own sockets are never refused: the application is a child.
    const pid_t child = ::fork();
    if (child != 0) {
        int status = 1;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    int refused = 0, passed = 0;
    timeSends(443, 1000, refused);  // warm up; the flow's one report is sent on the first
    refused = 0;
    report("refused UDP send (sendto, EPERM)", timeSends(443, 20000, refused));
    report("UDP send let through (another port)", timeSends(4433, 20000, passed));
    if (refused != 20000 || passed != 0) {
        std::printf("unexpected: %d of 20000 refused to 443, %d to the other port\n", refused, passed);
        std::fflush(stdout);
        ::_exit(1);
    }
    std::fflush(stdout);
    ::_exit(0);
}
