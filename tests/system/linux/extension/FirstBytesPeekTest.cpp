#include "FirstBytesPeek.h"
#include "TestConnectProxy.h"
#include "DispatchQueue.h"

#include <gtest/gtest.h>

#include <asio/read.hpp>

#include <sys/socket.h>

#include <future>
#include <string_view>
#include <thread>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using linux_system::FirstBytesPeek;
using testing::connectLoopback;
using testing::listenLoopback;

// Stands in for the provider's parsers: "name=<host>;" names a host, a prefix of that needs more,
// anything else names none.
PeekedHostname inspect(std::span<const std::uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const std::string_view tag = "name=";
    if (text.size() < tag.size()) {
        return {tag.starts_with(text) ? PeekedHostname::Status::NeedMore : PeekedHostname::Status::Absent, {}};
    }
    if (!text.starts_with(tag)) {
        return {};
    }
    const auto end = text.find(';');
    if (end == std::string_view::npos) {
        return {PeekedHostname::Status::NeedMore, {}};
    }
    return {PeekedHostname::Status::Found, std::string(text.substr(tag.size(), end - tag.size()))};
}

struct Peeked {
    std::string hostname;
    asio::ip::tcp::socket socket{DispatchQueue::pool()};
    std::chrono::steady_clock::duration took{};
};

// An application connected to an accepted socket that is being peeked at.
struct Application {
    UniqueFd fd;
    std::future<Peeked> peeked;
    bool waited = false;  // the peek had to wait

    explicit Application(std::chrono::milliseconds patience = 10s, std::string_view sentFirst = {}) {
        std::uint16_t port = 0;
        const auto listener = listenLoopback(port);
        fd = connectLoopback(port);
        linux_system::FlowSocket accepted(linux_system::newFlowStrand());
        accepted.assign(asio::ip::tcp::v4(), ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!sentFirst.empty()) {
            send(sentFirst);
            std::this_thread::sleep_for(20ms);  // arrived before the peek starts
        }
        auto promise = std::make_shared<std::promise<Peeked>>();
        peeked = promise->get_future();
        const auto started = std::chrono::steady_clock::now();
        FirstBytesPeek::start(std::move(accepted), inspect,
                              [promise, started](linux_system::FlowSocket socket, std::string hostname) {
                                  Peeked out;
                                  out.hostname = std::move(hostname);
                                  out.socket = std::move(socket);
                                  out.took = std::chrono::steady_clock::now() - started;
                                  promise->set_value(std::move(out));
                              },
                              [this] { waited = true; }, patience);
    }
    void send(std::string_view text) const {
        ASSERT_EQ(::send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size()));
    }
    Peeked result() {
        EXPECT_EQ(peeked.wait_for(5s), std::future_status::ready) << "the peek never finished";
        return peeked.get();
    }
};

std::string readAll(asio::ip::tcp::socket& socket, std::size_t n) {
    std::string text(n, '\0');
    std::error_code error;
    asio::read(socket, asio::buffer(text), error);
    return text;
}

TEST(FirstBytesPeek, FindsANameSplitAcrossSegmentsAndLeavesEveryByteUnread) {
    Application application;
    application.send("name=exam");
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(application.peeked.wait_for(0s), std::future_status::timeout) << "a prefix waits for more";
    EXPECT_TRUE(application.waited);
    application.send("ple.test;rest");
    auto peeked = application.result();
    EXPECT_EQ(peeked.hostname, "example.test");
    EXPECT_EQ(readAll(peeked.socket, 22), "name=example.test;rest") << "peeking consumes nothing";
}

TEST(FirstBytesPeek, BytesWaitingAlreadyAreDecidedBeforeStartReturns) {
    Application application(10s, "name=ready.test;");
    ASSERT_EQ(application.peeked.wait_for(0s), std::future_status::ready) << "no wait, no other thread";
    EXPECT_FALSE(application.waited);
    auto peeked = application.peeked.get();
    EXPECT_EQ(peeked.hostname, "ready.test");
    EXPECT_EQ(readAll(peeked.socket, 16), "name=ready.test;");
}

TEST(FirstBytesPeek, DecidesAtOnceOnBytesThatNameNothing) {
    Application application;
    application.send("SSH-2.0-client\r\n");
    auto peeked = application.result();
    EXPECT_EQ(peeked.hostname, "");
    EXPECT_LT(peeked.took, 5s) << "bytes that are neither must not wait out the patience";
    EXPECT_EQ(readAll(peeked.socket, 16), "SSH-2.0-client\r\n");
}

TEST(FirstBytesPeek, GivesUpWhenNothingComesOrTheApplicationLeaves) {
    Application silent(50ms);  // waits for the server to speak first
    EXPECT_EQ(silent.result().hostname, "");

    Application leaving;
    ::shutdown(leaving.fd.get(), SHUT_WR);
    EXPECT_EQ(leaving.result().hostname, "");

    Application stalled(50ms);
    stalled.send("name=half");
    EXPECT_EQ(stalled.result().hostname, "") << "a prefix that never completes does not stall the flow";

    // An end after a prefix keeps the socket readable with nothing new: no waiting out the patience on it.
    Application endsMidway;
    endsMidway.send("name=half");
    std::this_thread::sleep_for(30ms);
    ::shutdown(endsMidway.fd.get(), SHUT_WR);
    auto peeked = endsMidway.result();
    EXPECT_EQ(peeked.hostname, "");
    EXPECT_LT(peeked.took, 5s);
    EXPECT_EQ(readAll(peeked.socket, 9), "name=half") << "what came before the end is still there";
}

}  // namespace
}  // namespace sentorix
