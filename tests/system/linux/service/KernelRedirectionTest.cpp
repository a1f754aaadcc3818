#include "KernelRedirection.h"
#include "UniqueFd.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

namespace sentorix::linux_system {
namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

UniqueFd connectTo(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto address = loopback(port);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// This process plays the stopped extension: it listens, accepts one connection and leaves the next
// waiting in its queue, as a stopped extension leaves every connection redirected to it.
TEST(KernelRedirection, ResetsTheConnectionsWaitingUnacceptedAndLeavesTheAcceptedOnes) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root (CAP_NET_ADMIN) to end sockets, and a network namespace of its own";
    }
    std::string skip;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
            skip = "cannot make a network namespace here";
            return;
        }
        const UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        auto address = loopback(0);
        ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener.get(), 8), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
        const std::uint16_t port = ntohs(address.sin_port);

        const UniqueFd tunnel = connectTo(port);
        const UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(accepted.valid());
        const UniqueFd waiting = connectTo(port);
        const UniqueFd alsoWaiting = connectTo(port);

        EXPECT_EQ(KernelRedirection::resetWaitingConnections(::getpid()), 2);

        char byte = 0;
        EXPECT_EQ(::recv(waiting.get(), &byte, 1, 0), -1);
        EXPECT_EQ(errno, ECONNRESET) << "the application hears at once that its connection is gone";
        EXPECT_EQ(::recv(alsoWaiting.get(), &byte, 1, 0), -1);
        ASSERT_EQ(::send(tunnel.get(), "x", 1, MSG_NOSIGNAL), 1);
        EXPECT_EQ(::recv(accepted.get(), &byte, 1, 0), 1) << "a connection already accepted is a tunnel: kept";
        EXPECT_EQ(KernelRedirection::resetWaitingConnections(::getpid()), 0);
    }).join();
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
}

// Run in a network namespace of its own, the table deleted is the test's, not the host's.
TEST(KernelRedirection, ARemovalDeletesTheTableAndSaysWhatItDid) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root (CAP_NET_ADMIN) and a network namespace of its own";
    }
    std::string skip;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0 || std::system("nft add table inet sentorix") != 0) {
            skip = "cannot make a network namespace with a table here";
            return;
        }
        KernelRedirection redirection;
        const auto removed = redirection.remove(::getpid());
        ASSERT_TRUE(removed.ok()) << removed.error().localizedDescription();
        EXPECT_NE(removed->find("its redirection is removed and traffic goes direct ("), std::string::npos);
        EXPECT_NE(removed->find(" kernel links detached, nftables table deleted, 0 waiting connections reset)"),
                  std::string::npos)
            << *removed;
        EXPECT_NE(std::system("nft list table inet sentorix >/dev/null 2>&1"), 0) << "the table is gone";

        const auto again = redirection.remove(::getpid());
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(again->find("nftables table deleted"), std::string::npos) << "only a table that was there";
    }).join();
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
}

}  // namespace
}  // namespace sentorix::linux_system
