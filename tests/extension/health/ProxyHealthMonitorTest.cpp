#include "FakeProviderServices.h"
#include "LogCapture.h"
#include "ManualClock.h"
#include "TcpListener.h"
#include "UnixFrameServer.h"
#include "health/ProxyHealthMonitor.h"
#include "platform/NETunnelProviderProtocol.h"
#include "provider/PacketTunnelProvider.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using R = ProxyHealthProbeResult;
using E = ProxyHealthEvent;
using testing::FakeProviderServices;
using testing::ManualClock;
using testing::TcpListener;
using testing::TempDir;
using testing::UnixFrameServer;

TEST(ProxyHealthMonitor, EventsFollowChangesAndTheGateFollowsEveryResult) {
    struct Step {
        R result;
        bool gateClosed;
        std::vector<E> events;
    };
    auto gate = std::make_shared<ProxySafetyGate>();
    std::vector<E> events;
    ProxyHealthMonitor monitor(gate, [&](E event) { events.push_back(event); });
    const std::vector<Step> steps = {
        {R::unreachable, true, {E::proxyUnavailable}},
        {R::unreachable, true, {E::proxyUnavailable}},
        {R::reachable, false, {E::proxyUnavailable, E::proxyRecovered}},
        {R::reachable, false, {E::proxyUnavailable, E::proxyRecovered}},
        {R::unreachable, true, {E::proxyUnavailable, E::proxyRecovered, E::proxyUnavailable}},
    };
    for (const auto& step : steps) {
        monitor.recordProbeResult(step.result);
        EXPECT_EQ(gate->isClosed(), step.gateClosed);
        EXPECT_EQ(events, step.events);
    }

    auto fresh = std::make_shared<ProxySafetyGate>();
    int calls = 0;
    ProxyHealthMonitor first(fresh, [&](E) { ++calls; });
    first.recordProbeResult(R::reachable);
    EXPECT_EQ(calls, 0) << "a first reachable result is no change";
    EXPECT_FALSE(fresh->isClosed());

    // A tunnel closing the gate does not touch the monitor's view: the next result decides.
    fresh->setProxyUnavailable(true);
    first.recordProbeResult(R::reachable);
    EXPECT_FALSE(fresh->isClosed());
    EXPECT_EQ(calls, 0);
}

// Probes a loopback listener of the test's own instead of the fixed proxy port, on the test's clock.
class ProbingProvider : public PacketTunnelProvider {
public:
    ProbingProvider(std::shared_ptr<NEProviderServices> services, std::uint16_t port,
                    std::shared_ptr<DispatchTimerFactory> timers)
        : PacketTunnelProvider(std::move(services), systemClock, std::move(timers)), port_(port) {}

protected:
    std::shared_ptr<ProxyTCPReachabilityProbe> makeReachabilityProbe() const override {
        return std::make_shared<ProxyTCPReachabilityProbe>("127.0.0.1", port_, 0.35);
    }

private:
    const std::uint16_t port_;
};

class HealthMonitoring : public ::testing::Test {
protected:
    void SetUp() override {
        auto protocol = std::make_shared<NETunnelProviderProtocol>();
        protocol->providerConfiguration = ProviderConfiguration{{"monitoringSocketPath", server.path()}};
        services->setProtocol(protocol);
    }
    void TearDown() override {
        provider->stopProxy(NEProviderStopReason::None, [] {});
        flushEvents();  // no send outlives the server, to fail later in another test's log
    }

    void start() {
        provider->startProxy(std::nullopt, [](OptionalError) {});
        services->completeSettings();
    }
    std::vector<std::string> healthSignals() const {
        std::vector<std::string> signals;
        for (const auto& payload : server.payloads()) {
            auto object = nlohmann::json::parse(payload);
            const auto signal = object["current_signal"].get<std::string>();
            if (signal.starts_with("proxy_")) {
                EXPECT_EQ(object["context"], nlohmann::json({{"proxy", "127.0.0.1:8080"}}));
                EXPECT_FALSE(object.contains("flow_id"));
                signals.push_back(signal);
            }
        }
        return signals;
    }
    // Waits until `signal` has been seen `count` times.
    bool waitFor(const std::string& signal, size_t count, std::chrono::milliseconds limit = 4s) {
        return server.waitForPayloads(
            [&](const std::vector<std::string>& payloads) {
                return size_t(std::count_if(payloads.begin(), payloads.end(), [&](const std::string& payload) {
                           return nlohmann::json::parse(payload)["current_signal"] == signal;
                       })) >= count;
            },
            limit);
    }
    // Waits until every event emitted so far has reached the server: they go out one at a time, in order,
    // so a marker emitted now arrives after them.
    bool flushEvents() {
        const std::string marker = "test_flush_" + std::to_string(++flushes);
        provider->monitoring()->emit(ProxyTunnelMonitoringEvent(marker, std::nullopt, "info", "test.flush", "flush"));
        return server.waitForPayloads(
            [&](const std::vector<std::string>& payloads) {
                return std::any_of(payloads.begin(), payloads.end(), [&](const std::string& payload) {
                    return nlohmann::json::parse(payload)["current_signal"] == marker;
                });
            },
            4s);
    }

    int flushes = 0;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    testing::LogCapture logs;
    TempDir dir;
    UnixFrameServer server{dir.file("monitor.sock")};
    std::shared_ptr<FakeProviderServices> services = std::make_shared<FakeProviderServices>();
    std::unique_ptr<TcpListener> proxy = std::make_unique<TcpListener>();
    const std::uint16_t proxyPort = proxy->port();
    std::shared_ptr<ProbingProvider> provider = std::make_shared<ProbingProvider>(services, proxyPort, clock);
};

TEST_F(HealthMonitoring, ProxyUpAtStartOpensTheGateWithoutAnEvent) {
    start();
    clock->advance(0s);  // the first probe is due at once
    EXPECT_FALSE(provider->safetyGate()->isClosed());
    clock->advance(300ms);
    ASSERT_TRUE(flushEvents());
    EXPECT_TRUE(healthSignals().empty());
}

TEST_F(HealthMonitoring, DownThenBackGivesOneEventEach) {
    proxy->close();
    start();
    clock->advance(0s);
    ASSERT_TRUE(waitFor("proxy_unreachable", 1));
    clock->advance(2200ms);  // two more ticks while down
    ASSERT_TRUE(flushEvents());
    EXPECT_EQ(healthSignals(), std::vector<std::string>{"proxy_unreachable"});
    EXPECT_TRUE(provider->safetyGate()->isClosed());

    proxy = std::make_unique<TcpListener>(true, 64, proxyPort);
    clock->advance(800ms);  // the next tick
    ASSERT_TRUE(waitFor("proxy_recovered", 1));
    clock->advance(1200ms);
    ASSERT_TRUE(flushEvents());
    EXPECT_EQ(healthSignals(), (std::vector<std::string>{"proxy_unreachable", "proxy_recovered"}));
    EXPECT_FALSE(provider->safetyGate()->isClosed());
}

TEST_F(HealthMonitoring, RestartAfterRecoveryComparesWithTheLastResultBeforeStop) {
    proxy->close();
    start();
    clock->advance(0s);
    ASSERT_TRUE(waitFor("proxy_unreachable", 1));
    provider->stopProxy(NEProviderStopReason::UserInitiated, [] {});
    proxy = std::make_unique<TcpListener>(true, 64, proxyPort);
    start();
    clock->advance(0s);
    ASSERT_TRUE(waitFor("proxy_recovered", 1));
}

TEST_F(HealthMonitoring, SecondStartLeavesOneTimerAndStopEndsProbing) {
    start();
    start();
    clock->advance(3200ms);
    const int probes = proxy->settledAcceptedCount();
    EXPECT_GE(probes, 3);
    EXPECT_LE(probes, 5) << "two timers would probe about twice a second";

    provider->stopProxy(NEProviderStopReason::None, [] {});
    const int atStop = proxy->settledAcceptedCount();  // no probe is under way once advance has returned
    clock->advance(1500ms);
    EXPECT_EQ(proxy->settledAcceptedCount(), atStop);
    EXPECT_FALSE(provider->isHealthMonitoringRunning());
}

}  // namespace
}  // namespace sentorix
