#include "SpliceRelay.h"
#include "TestConnectProxy.h"
#include "DispatchQueue.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using testing::connectLoopback;
using testing::listenLoopback;

// client <-> [accepted | SpliceRelay | upstream] <-> server
struct RelayedPair {
    UniqueFd client, server;
    std::promise<OptionalError> done;

    // `sinkBuffer`, when given, bounds the relay's send buffer towards the server, so that it fills.
    explicit RelayedPair(int sinkBuffer = 0) {
        std::uint16_t frontPort = 0, backPort = 0;
        const auto front = listenLoopback(frontPort);
        const auto back = listenLoopback(backPort);
        client = connectLoopback(frontPort);
        UniqueFd accepted(::accept4(front.get(), nullptr, nullptr, SOCK_CLOEXEC));
        UniqueFd upstream = connectLoopback(backPort);
        server.reset(::accept4(back.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (sinkBuffer > 0) {
            ::setsockopt(upstream.get(), SOL_SOCKET, SO_SNDBUF, &sinkBuffer, sizeof sinkBuffer);
            ::setsockopt(server.get(), SOL_SOCKET, SO_RCVBUF, &sinkBuffer, sizeof sinkBuffer);
        }
        auto strand = asio::make_strand(DispatchQueue::pool().get_executor());
        asio::ip::tcp::socket a(strand), b(strand);
        a.assign(asio::ip::tcp::v4(), accepted.release());
        b.assign(asio::ip::tcp::v4(), upstream.release());
        linux_system::SpliceRelay::start(strand, std::move(a), std::move(b),
                                         [this](OptionalError error) { done.set_value(error); });
    }
};

// Everything until the end; `clean`, when given, says whether that end was an end of data, not a reset.
std::string readAll(int fd, bool* clean = nullptr) {
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        text.append(buffer, size_t(n));
    }
    if (clean) {
        *clean = n == 0;
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
    bool clientClean = false, serverClean = false;
    EXPECT_EQ(readAll(pair.client.get(), &clientClean), answer);
    EXPECT_EQ(readAll(pair.server.get(), &serverClean), "");
    EXPECT_TRUE(clientClean && serverClean) << "the relay closing after both ends must end each side, not reset it";
    EXPECT_EQ(pair.done.get_future().wait_for(5s), std::future_status::ready);
}

// Each turn leaves both directions at rest, waiting, before the next byte comes: a wait that misses
// bytes arriving as it is armed stalls a turn, and an end of data met while waiting must still pass on.
TEST(SpliceRelay, EveryTurnAfterRestWakesTheRelayAndAnEndMetWhileWaitingPassesOn) {
    RelayedPair pair;
    const timeval patience{5, 0};
    for (int fd : {pair.client.get(), pair.server.get()}) {
        ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience), 0);
    }
    for (int turn = 0; turn < 500; ++turn) {
        const char ask = static_cast<char>('a' + turn % 26);
        char got = 0;
        ASSERT_EQ(::send(pair.client.get(), &ask, 1, MSG_NOSIGNAL), 1);
        ASSERT_EQ(::recv(pair.server.get(), &got, 1, 0), 1) << "turn " << turn;
        ASSERT_EQ(got, ask);
        ASSERT_EQ(::send(pair.server.get(), &ask, 1, MSG_NOSIGNAL), 1);
        ASSERT_EQ(::recv(pair.client.get(), &got, 1, 0), 1) << "turn " << turn;
        ASSERT_EQ(got, ask);
    }
    std::this_thread::sleep_for(20ms);  // both directions waiting when the end comes
    ::shutdown(pair.client.get(), SHUT_WR);
    EXPECT_EQ(readAll(pair.server.get()), "");
    ASSERT_EQ(::send(pair.server.get(), "last", 4, MSG_NOSIGNAL), 4);
    ::shutdown(pair.server.get(), SHUT_WR);
    EXPECT_EQ(readAll(pair.client.get()), "last");
    auto result = pair.done.get_future();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(result.get());
}

// A reader slower than its writer keeps the relay switching between a full sink and an empty source, with
// waits of both kinds outstanding; the end of data comes while bytes may still be in the relay's pipe.
// Every byte must arrive, in order, before the end, and no later relay may see bytes of an earlier one.
TEST(SpliceRelay, AnUploadToASlowReaderArrivesWholeBeforeItsEnd) {
    std::mt19937 random(12);
    for (int round = 0; round < 6; ++round) {
        RelayedPair pair(262144);  // small enough to fill, large enough that TCP does not crawl
        const timeval patience{5, 0};  // a stalled relay fails the test rather than hanging it
        ASSERT_EQ(::setsockopt(pair.server.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience), 0);
        std::string sent(2 << 20, '\0');
        for (std::size_t i = 0; i < sent.size(); ++i) {
            sent[i] = static_cast<char>((i * 131 + i / 4093 + round) & 0xff);
        }
        std::thread writer([&, bursts = std::mt19937(round)]() mutable {
            for (std::size_t at = 0; at < sent.size();) {
                const auto burst = std::min<std::size_t>(1 + bursts() % 49152, sent.size() - at);
                const auto n = ::send(pair.client.get(), sent.data() + at, burst, MSG_NOSIGNAL);
                if (n <= 0) {
                    return;
                }
                at += static_cast<std::size_t>(n);
                if (bursts() % 3 == 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(bursts() % 200));
                }
            }
            ::shutdown(pair.client.get(), SHUT_WR);
        });
        std::string received;
        char chunk[16384];
        for (ssize_t n; (n = ::recv(pair.server.get(), chunk, 1 + random() % sizeof chunk, 0)) > 0;) {
            received.append(chunk, static_cast<std::size_t>(n));
            if (random() % 4 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
            }
        }
        writer.join();
        ASSERT_EQ(received.size(), sent.size()) << "round " << round;
        ASSERT_TRUE(received == sent) << "round " << round << ": bytes changed on the way";
        ::shutdown(pair.server.get(), SHUT_WR);
        EXPECT_EQ(readAll(pair.client.get()), "");
        ASSERT_EQ(pair.done.get_future().wait_for(5s), std::future_status::ready);
    }
}

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// splice() will not read past an urgent mark: a relay that only splices stalls there and, woken again
// and again by a peek that sees bytes, spins. Any peer can send such a byte, in either direction.
TEST(SpliceRelay, AnUrgentByteTravelsInLineWithEverythingAfterItAndTheRelayRestsAfterwards) {
    const std::string body(20000, 'b');
    for (const std::size_t mark : {std::size_t(0), body.size() / 2, body.size() - 1}) {
        for (const bool upload : {true, false}) {
            RelayedPair pair;
            const int from = upload ? pair.client.get() : pair.server.get();
            const int to = upload ? pair.server.get() : pair.client.get();
            const timeval patience{5, 0};
            ASSERT_EQ(::setsockopt(to, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience), 0);
            std::string expected;
            if (mark > 0) {
                ASSERT_EQ(::send(from, body.data(), mark, MSG_NOSIGNAL), ssize_t(mark));
                expected.append(body, 0, mark);
            }
            std::this_thread::sleep_for(5ms);  // the relay at rest when the byte comes
            ASSERT_EQ(::send(from, "!", 1, MSG_OOB | MSG_NOSIGNAL), 1);
            expected += '!';
            for (std::size_t at = mark; at < body.size(); at += 1000) {  // many writes after the mark
                const std::size_t n = std::min<std::size_t>(1000, body.size() - at);
                ASSERT_EQ(::send(from, body.data() + at, n, MSG_NOSIGNAL), ssize_t(n));
                expected.append(body, at, n);
            }
            std::string received(expected.size(), '\0');
            ASSERT_EQ(::recv(to, received.data(), received.size(), MSG_WAITALL), ssize_t(expected.size()))
                << "mark at " << mark << (upload ? ", upload" : ", download");
            EXPECT_TRUE(received == expected) << "mark at " << mark << ": bytes out of order or lost";

            // At rest now: a relay stuck at the mark would burn this idle time on a core.
            const double before = processCpuSeconds();
            std::this_thread::sleep_for(300ms);
            EXPECT_LT(processCpuSeconds() - before, 0.15) << "the relay keeps working while idle";
            ::shutdown(pair.client.get(), SHUT_WR);
            ::shutdown(pair.server.get(), SHUT_WR);
            auto done = pair.done.get_future();
            ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
            EXPECT_FALSE(done.get());
        }
    }
}

// The application's bytes and its end both there before the relay starts, as when a client sends its
// request and half-closes at once: both pass on.
TEST(SpliceRelay, DataAndAnEndWaitingBeforeTheRelayStartsAreMoved) {
    std::uint16_t frontPort = 0, backPort = 0;
    const auto front = listenLoopback(frontPort);
    const auto back = listenLoopback(backPort);
    UniqueFd client = connectLoopback(frontPort);
    ASSERT_EQ(::send(client.get(), "early", 5, MSG_NOSIGNAL), 5);  // sent before anything relays
    ::shutdown(client.get(), SHUT_WR);
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
    const timeval patience{5, 0};
    ASSERT_EQ(::setsockopt(server.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience), 0);
    EXPECT_EQ(::recv(server.get(), buffer, 1, 0), 0) << "the end did not pass on";
}

TEST(SpliceRelay, EndsHandedInAsSocketsRelayWhateverStrandTheyCameFrom) {
    std::uint16_t frontPort = 0, backPort = 0;
    const auto front = listenLoopback(frontPort);
    const auto back = listenLoopback(backPort);
    UniqueFd client = connectLoopback(frontPort);
    UniqueFd accepted(::accept4(front.get(), nullptr, nullptr, SOCK_CLOEXEC));
    UniqueFd upstream = connectLoopback(backPort);
    UniqueFd server(::accept4(back.get(), nullptr, nullptr, SOCK_CLOEXEC));
    const auto strand = linux_system::newFlowStrand();
    // One end shares the relay's strand, as a flow's does; the other was made on a strand of its own.
    linux_system::FlowSocket a(strand), b(linux_system::newFlowStrand());
    a.assign(asio::ip::tcp::v4(), accepted.release());
    b.assign(asio::ip::tcp::v4(), upstream.release());
    std::promise<OptionalError> done;
    auto relay = linux_system::SpliceRelay::awaiting(strand, [&](OptionalError error) { done.set_value(error); });
    relay->adopt(linux_system::SpliceRelay::End::A, std::move(a));
    relay->adopt(linux_system::SpliceRelay::End::B, std::move(b));
    ASSERT_EQ(::send(client.get(), "ping", 4, MSG_NOSIGNAL), 4);
    ASSERT_EQ(::send(server.get(), "pong", 4, MSG_NOSIGNAL), 4);
    char buffer[4];
    ASSERT_EQ(::recv(server.get(), buffer, 4, MSG_WAITALL), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    ASSERT_EQ(::recv(client.get(), buffer, 4, MSG_WAITALL), 4);
    EXPECT_EQ(std::string(buffer, 4), "pong");
    ::shutdown(client.get(), SHUT_WR);
    ::shutdown(server.get(), SHUT_WR);
    auto result = done.get_future();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(result.get()) << "both ends ended cleanly";
}

// Descriptors the process holds outside the pipe pool.
std::size_t heldDescriptors() {
    const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                    std::filesystem::directory_iterator());
    return static_cast<std::size_t>(open) - 2 * linux_system::PipePool::shared().idleCount();
}

// Waits up to two seconds for the held descriptors to come down to `expected` at most (relays of
// earlier tests may still be letting theirs go).
bool settlesAt(std::size_t expected) {
    for (int i = 0; i < 400 && heldDescriptors() > expected; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    return heldDescriptors() <= expected;
}

TEST(SpliceRelayPipes, ARelayAtRestHoldsNoPipeAndManyFlowsLeaveNoDescriptorBehind) {
    {
        // The reactor's own descriptors come with the first socket, not with any flow.
        asio::ip::tcp::socket first(DispatchQueue::pool());
        first.open(asio::ip::tcp::v4());
    }
    const std::size_t before = heldDescriptors();
    const std::string chunk(32768, 'y');  // fits the sockets' buffers: no send waits for a read
    for (int batch = 0; batch < 3; ++batch) {
        std::vector<std::unique_ptr<RelayedPair>> pairs(50);  // a hundred directions: more than the pool keeps
        for (auto& pair : pairs) {
            pair = std::make_unique<RelayedPair>();
            ASSERT_EQ(::send(pair->client.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL), ssize_t(chunk.size()));
            ASSERT_EQ(::send(pair->server.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL), ssize_t(chunk.size()));
        }
        const std::size_t connected = before + 4 * pairs.size();
        std::string received(chunk.size(), '\0');
        for (auto& pair : pairs) {
            ASSERT_EQ(::recv(pair->server.get(), received.data(), received.size(), MSG_WAITALL), ssize_t(chunk.size()));
            ASSERT_EQ(::recv(pair->client.get(), received.data(), received.size(), MSG_WAITALL), ssize_t(chunk.size()));
        }
        EXPECT_TRUE(settlesAt(connected)) << "at rest, each relay holds its two sockets only; " << heldDescriptors()
                                          << " held, " << connected << " expected";
        for (auto& pair : pairs) {
            ::shutdown(pair->client.get(), SHUT_WR);
            ::shutdown(pair->server.get(), SHUT_WR);
            auto done = pair->done.get_future();
            ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
            EXPECT_FALSE(done.get()) << "both ends ended cleanly";
        }
    }
    EXPECT_TRUE(settlesAt(before)) << heldDescriptors() << " held, " << before << " before";
    EXPECT_LE(linux_system::PipePool::shared().idleCount(), linux_system::PipePool::SharedCapacity);
}

// Stalled flows each hold a full pipe: only so many are grown, and a closed one, kept or not, frees its place.
TEST(SpliceRelayPipes, OnlyTheBudgetOfPipesIsGrownAndAClosedOneFreesItsPlace) {
    linux_system::PipePool pool(1, 2);
    const auto size = [](const linux_system::PipePool::Pipe& pipe) { return ::fcntl(pipe.write.get(), F_GETPIPE_SZ); };
    auto takenFirst = pool.take();
    auto takenSecond = pool.take();
    auto takenThird = pool.take();
    ASSERT_TRUE(takenFirst && takenSecond && takenThird);
    auto first = std::move(*takenFirst);
    auto second = std::move(*takenSecond);
    auto third = std::move(*takenThird);
    EXPECT_EQ(size(first), linux_system::PipePool::PipeBytes);
    EXPECT_EQ(size(second), linux_system::PipePool::PipeBytes);
    EXPECT_LT(size(third), linux_system::PipePool::PipeBytes) << "past the budget: the kernel's default size";
    pool.give(std::move(first));   // kept, still grown
    second = {};                   // a relay that ended with bytes in it drops its pipe
    auto again = *pool.take();  // the kept one
    auto fresh = *pool.take();
    EXPECT_EQ(size(again), linux_system::PipePool::PipeBytes);
    EXPECT_EQ(size(fresh), linux_system::PipePool::PipeBytes) << "the dropped pipe's place is free again";
    EXPECT_LT(size(*pool.take()), linux_system::PipePool::PipeBytes);
}

TEST(SpliceRelayPipes, StoppedBeforeItsEndsArriveClosesThemAndCompletesOnce) {
    std::uint16_t port = 0;
    const auto listener = listenLoopback(port);
    UniqueFd client = connectLoopback(port);
    UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::promise<OptionalError> done;  // a second completion would throw
    auto relay = linux_system::SpliceRelay::awaiting(asio::make_strand(DispatchQueue::pool().get_executor()),
                                                     [&](OptionalError error) { done.set_value(error); });
    relay->stop(/*reset=*/true);
    relay->adopt(linux_system::SpliceRelay::End::A, asio::ip::tcp::v4(), std::move(accepted));
    relay->adopt(linux_system::SpliceRelay::End::B, asio::ip::tcp::v4(), UniqueFd());
    auto result = done.get_future();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    const auto error = result.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ECANCELED);
    char byte;
    EXPECT_EQ(::recv(client.get(), &byte, 1, 0), -1) << "the end that came late is reset, not left open";
    EXPECT_EQ(errno, ECONNRESET);
}

}  // namespace
}  // namespace sentorix
