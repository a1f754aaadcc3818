#include "SpliceRelay.h"
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

// client <-> [accepted | SpliceRelay | upstream] <-> server
struct RelayedPair {
    UniqueFd client, server;
    std::promise<void> done;

    RelayedPair() {
        std::uint16_t frontPort = 0, backPort = 0;
        const auto front = listenLoopback(frontPort);
        const auto back = listenLoopback(backPort);
        client = connectLoopback(frontPort);
        UniqueFd accepted(::accept4(front.get(), nullptr, nullptr, SOCK_CLOEXEC));
        UniqueFd upstream = connectLoopback(backPort);
        server.reset(::accept4(back.get(), nullptr, nullptr, SOCK_CLOEXEC));
        auto strand = asio::make_strand(DispatchQueue::pool().get_executor());
        asio::ip::tcp::socket a(strand), b(strand);
        a.assign(asio::ip::tcp::v4(), accepted.release());
        b.assign(asio::ip::tcp::v4(), upstream.release());
        linux_system::SpliceRelay::start(strand, std::move(a), std::move(b), [this] { done.set_value(); });
    }
};

std::string readAll(int fd) {
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        text.append(buffer, size_t(n));
    }
    return text;
}

TEST(SpliceRelay, AnswerAfterRequestAndHalfCloseBothWays) {
    RelayedPair pair;
    ASSERT_EQ(::send(pair.client.get(), "GET", 3, MSG_NOSIGNAL), 3);
    char request[3];
    ASSERT_EQ(::recv(pair.server.get(), request, 3, MSG_WAITALL), 3);
    const std::string answer(300000, 'r');
    ASSERT_EQ(::send(pair.server.get(), answer.data(), answer.size(), MSG_NOSIGNAL), ssize_t(answer.size()));
    ::shutdown(pair.server.get(), SHUT_WR);
    ::shutdown(pair.client.get(), SHUT_WR);
    EXPECT_EQ(readAll(pair.client.get()), answer);
    EXPECT_EQ(readAll(pair.server.get()), "");
    EXPECT_EQ(pair.done.get_future().wait_for(5s), std::future_status::ready);
}

TEST(SpliceRelay, DataWaitingBeforeTheRelayStartsIsMoved) {
    std::uint16_t frontPort = 0, backPort = 0;
    const auto front = listenLoopback(frontPort);
    const auto back = listenLoopback(backPort);
    UniqueFd client = connectLoopback(frontPort);
    ASSERT_EQ(::send(client.get(), "early", 5, MSG_NOSIGNAL), 5);  // sent before anything relays
    UniqueFd accepted(::accept4(front.get(), nullptr, nullptr, SOCK_CLOEXEC));
    UniqueFd upstream = connectLoopback(backPort);
    UniqueFd server(::accept4(back.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_EQ(::send(server.get(), "hello", 5, MSG_NOSIGNAL), 5);
    std::this_thread::sleep_for(50ms);
    auto strand = asio::make_strand(DispatchQueue::pool().get_executor());
    asio::ip::tcp::socket a(strand), b(strand);
    a.assign(asio::ip::tcp::v4(), accepted.release());
    b.assign(asio::ip::tcp::v4(), upstream.release());
    linux_system::SpliceRelay::start(strand, std::move(a), std::move(b), [] {});
    char buffer[5];
    ASSERT_EQ(::recv(client.get(), buffer, 5, MSG_WAITALL), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    ASSERT_EQ(::recv(server.get(), buffer, 5, MSG_WAITALL), 5);
    EXPECT_EQ(std::string(buffer, 5), "early");
}

}  // namespace
}  // namespace sentorix
