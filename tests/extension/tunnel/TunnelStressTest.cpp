// Races that only show under load: run under ThreadSanitizer too.

#include "CallbackTunnelOwner.h"
#include "FakeTCPConnection.h"
#include "FakeTCPFlow.h"
#include "LogCapture.h"
#include "ManualClock.h"
#include "RecordingMonitoringClient.h"
#include "tunnel/SXTunnelConnection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

namespace sentorix {
namespace {

using testing::FakeTCPConnection;
using testing::FakeTCPFlow;
using testing::ManualClock;
using testing::RecordingMonitoringClient;

NSData bytes(const std::string& text) { return NSData(text.begin(), text.end()); }

struct Counts {
    std::atomic<int> established{0}, unavailable{0}, closed{0};
};

struct Subject {
    std::shared_ptr<FakeTCPFlow> flow = FakeTCPFlow::to("192.0.2.10", "443");
    std::shared_ptr<FakeTCPConnection> connection = std::make_shared<FakeTCPConnection>();
    std::shared_ptr<testing::CallbackTunnelOwner> owner;
    std::shared_ptr<SXTunnelConnection> tunnel;
    Counts counts;

    Subject(int id, double timeout, const std::shared_ptr<RecordingMonitoringClient>& monitoring,
            const std::shared_ptr<ProxyTunnelHandshakeDeadlines>& deadlines) {
        owner = testing::CallbackTunnelOwner::make(
            [this](const std::string&) { counts.established++; },
            [this](SXTunnelConnection::PreHandshakeFailure, const std::string&) { counts.unavailable++; },
            [this](const std::string&) { counts.closed++; });
        tunnel = std::make_shared<SXTunnelConnection>(flow, connection, "FLOW-" + std::to_string(id), "app", timeout,
                                                      monitoring, owner, deadlines);
    }
};

std::map<std::string, std::map<std::string, int>> eventsByFlow(const RecordingMonitoringClient& monitoring) {
    std::map<std::string, std::map<std::string, int>> result;
    for (const auto& event : monitoring.events()) {
        result[event.flowID.value_or("")][event.currentSignal]++;
    }
    return result;
}

TEST(TunnelStress, WatchdogRacingTheAnswerClosesEachTunnelOnceWithAConsistentStory) {
    testing::LogCapture logs;
    auto monitoring = std::make_shared<RecordingMonitoringClient>();
    auto clock = std::make_shared<ManualClock>();
    auto deadlines = std::make_shared<ProxyTunnelHandshakeDeadlines>(clock);
    constexpr int Tunnels = 2000;
    std::vector<std::unique_ptr<Subject>> subjects;
    std::mt19937 random(42);
    for (int i = 0; i < Tunnels; ++i) {
        // Limits between 0.2 and 2 ms, so that the answer lands before, at or after the time-out.
        subjects.push_back(std::make_unique<Subject>(i, 0.0002 + (random() % 1800) / 1e6, monitoring, deadlines));
    }
    constexpr int Batch = 50;
    for (int base = 0; base < Tunnels; base += Batch) {
        std::vector<std::thread> threads;
        for (int i = base; i < base + Batch; ++i) {
            auto& s = *subjects[size_t(i)];
            s.tunnel->start();
            threads.emplace_back([&s] {
                s.connection->setState(NWTCPConnectionState::Connected);
                s.connection->completeWrite();
                s.connection->completeRead(bytes("HTTP/1.1 200 OK\r\n\r\n"));
            });
            // Time passes while the answers come in, firing the watchdogs of the tunnels started before.
            clock->advance(std::chrono::microseconds(300));
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    clock->advance(std::chrono::seconds(1));  // late watchdogs fire; advance returns once they have run
    for (auto& s : subjects) {
        s->tunnel->close(std::nullopt);
    }
    const auto events = eventsByFlow(*monitoring);
    int succeeded = 0, timedOut = 0;
    for (int i = 0; i < Tunnels; ++i) {
        auto& s = *subjects[size_t(i)];
        const auto& story = events.at("FLOW-" + std::to_string(i));
        ASSERT_EQ(s.counts.closed.load(), 1) << i;
        ASSERT_EQ(story.count("tunnel_closed") ? story.at("tunnel_closed") : 0, 1) << i;
        const bool success = story.count("connect_handshake_succeeded") > 0;
        const bool timeout = story.count("connect_handshake_timed_out") > 0;
        ASSERT_FALSE(success && timeout) << "tunnel " << i << " both succeeded and timed out";
        ASSERT_EQ(s.counts.established.load(), success ? 1 : 0) << i;
        ASSERT_EQ(s.counts.unavailable.load(), timeout ? 1 : 0) << i;
        succeeded += success;
        timedOut += timeout;
    }
    RecordProperty("succeeded", succeeded);
    RecordProperty("timed_out", timedOut);
}

TEST(TunnelStress, RelayDirectionsAndClosesRaceWithoutDoubleClose) {
    testing::LogCapture logs;
    auto monitoring = std::make_shared<RecordingMonitoringClient>();
    auto clock = std::make_shared<ManualClock>();
    auto deadlines = std::make_shared<ProxyTunnelHandshakeDeadlines>(clock);
    constexpr int Tunnels = 1000;
    for (int base = 0; base < Tunnels; base += 50) {
        std::vector<std::unique_ptr<Subject>> subjects;
        std::vector<std::thread> threads;
        for (int i = base; i < base + 50; ++i) {
            subjects.push_back(std::make_unique<Subject>(i, 5.0, monitoring, deadlines));
            auto& s = *subjects.back();
            s.tunnel->start();
            s.connection->setState(NWTCPConnectionState::Connected);
            s.connection->completeWrite();
            s.connection->completeRead(bytes("HTTP/1.1 200 OK\r\n\r\n"));
            const int rounds = 5 + i % 20;
            threads.emplace_back([&s, rounds] {  // application to proxy, then its end of data
                for (int r = 0; r < rounds && s.flow->completeRead(bytes("up")); ++r) {
                    s.connection->completeWrite();
                }
                s.flow->completeRead({});
            });
            threads.emplace_back([&s, rounds, i] {  // proxy to application, ending in an error or its end
                for (int r = 0; r < rounds && s.connection->completeRead(bytes("down")); ++r) {
                    s.flow->completeWrite();
                }
                s.connection->completeRead({}, i % 3 == 0 ? OptionalError(NSError::posix(ECONNRESET)) : std::nullopt);
            });
            threads.emplace_back([&s, i] {  // and sometimes a close from outside
                if (i % 5 == 0) {
                    s.tunnel->close(NSError::posix(EIO));
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        for (auto& s : subjects) {
            s->tunnel->close(std::nullopt);
            ASSERT_EQ(s->counts.closed.load(), 1);
            ASSERT_EQ(s->counts.unavailable.load(), 0) << "errors after the handshake never mark the proxy down";
        }
    }
    for (const auto& [flow, story] : eventsByFlow(*monitoring)) {
        ASSERT_EQ(story.at("tunnel_closed"), 1) << flow;
    }
}

}  // namespace
}  // namespace sentorix
