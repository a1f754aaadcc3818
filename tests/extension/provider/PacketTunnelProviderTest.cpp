#include "FakeProviderServices.h"
#include "LogCapture.h"
#include "ManualClock.h"
#include "UnixFrameServer.h"
#include "platform/NETunnelProviderProtocol.h"
#include "provider/BuiltInPolicy.h"
#include "provider/PacketTunnelProvider.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using testing::FakeProviderServices;
using testing::LogCapture;
using testing::TempDir;
using testing::UnixFrameServer;
using P = NENetworkRuleProtocol;

std::shared_ptr<NETunnelProviderProtocol> protocolWith(std::optional<ProviderConfiguration> configuration) {
    auto protocol = std::make_shared<NETunnelProviderProtocol>();
    protocol->providerBundleIdentifier = "com.sentorix.desktop.extension";
    protocol->serverAddress = "127.0.0.1";
    protocol->providerConfiguration = std::move(configuration);
    return protocol;
}

class ProviderSpine : public ::testing::Test {
protected:
    std::shared_ptr<FakeProviderServices> services = std::make_shared<FakeProviderServices>();
    LogCapture logs;
    // Health ticks run only when a test moves this clock.
    std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
    std::shared_ptr<PacketTunnelProvider> provider =
        std::make_shared<PacketTunnelProvider>(services, PacketTunnelProvider::systemClock, clock);

    void TearDown() override {
        if (provider) {
            provider->stopProxy(NEProviderStopReason::None, [] {});
        }
    }
};

TEST_F(ProviderSpine, IncludedAndExcludedRulesInOrder) {
    const auto settings = provider->makeNetworkSettings();
    EXPECT_EQ(settings->tunnelRemoteAddress(), "127.0.0.1");
    const auto& included = *settings->includedNetworkRules;
    ASSERT_EQ(included.size(), 32u);
    const std::vector<NENetworkRule> firstSix = {
        {NWHostEndpoint("0.0.0.0", "80"), 0, P::TCP},   {NWHostEndpoint("::", "80"), 0, P::TCP},
        {NWHostEndpoint("127.0.0.1", "80"), 32, P::TCP}, {NWHostEndpoint("::1", "80"), 128, P::TCP},
        {NWHostEndpoint("0.0.0.0", "80"), 0, P::UDP},   {NWHostEndpoint("::", "80"), 0, P::UDP},
    };
    EXPECT_EQ(std::vector<NENetworkRule>(included.begin(), included.begin() + 6), firstSix);
    EXPECT_EQ(included[6], NENetworkRule(NWHostEndpoint("0.0.0.0", "443"), 0, P::TCP));
    EXPECT_EQ(included[11], NENetworkRule(NWHostEndpoint("::", "443"), 0, P::UDP));

    std::vector<std::string> portOrder;
    for (const auto& rule : included) {
        const auto& port = rule.matchRemoteEndpoint().port();
        if (portOrder.empty() || portOrder.back() != port) {
            portOrder.push_back(port);
        }
        if (port != "80" && port != "443") {
            EXPECT_EQ(rule.matchProtocol(), P::TCP) << "port " << port << " is TCP only";
        }
    }
    EXPECT_EQ(portOrder, (std::vector<std::string>{"80", "443", "11434", "1234", "8000", "5000", "7860"}));

    EXPECT_EQ(*settings->excludedNetworkRules,
              (std::vector<NENetworkRule>{{NWHostEndpoint("127.0.0.1", "8080"), 32, P::TCP},
                                          {NWHostEndpoint("::1", "8080"), 128, P::TCP}}));
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: Rules summary included=32 excluded=2 httpsOnly=false"), 1u);
}

TEST(BuiltInPolicy, ListsHaveTheirSizesAndForms) {
    EXPECT_EQ(BuiltInPolicy::bypassAppIds().size(), 23u);
    EXPECT_EQ(BuiltInPolicy::bypassAppIds()[3], "com.sentorix.desktop.extension");
    const auto dotted = [](const std::vector<std::string>& list) {
        return std::count_if(list.begin(), list.end(), [](const auto& e) { return e.starts_with("."); });
    };
    const auto& hard = BuiltInPolicy::hardBypassDomains();
    EXPECT_EQ(hard.size(), 39u);
    EXPECT_EQ(dotted(hard), 18);
    const auto& media = BuiltInPolicy::realtimeMediaDomains();
    EXPECT_EQ(media.size(), 18u);
    EXPECT_EQ(dotted(media), 8);
    for (const auto& entry : hard) {
        EXPECT_EQ(entry, nlohmann::json(entry).get<std::string>());
        EXPECT_TRUE(std::none_of(entry.begin(), entry.end(), [](char c) { return std::isupper(c); })) << entry;
    }
}

TEST_F(ProviderSpine, MonitoringSocketPathIsReadOnlyFromAStringValue) {
    EXPECT_EQ(provider->resolveMonitoringSocketPath(), std::nullopt) << "no protocol";
    services->setProtocol(std::make_shared<NEVPNProtocol>());
    EXPECT_EQ(provider->resolveMonitoringSocketPath(), std::nullopt) << "another protocol type";
    services->setProtocol(protocolWith(std::nullopt));
    EXPECT_EQ(provider->resolveMonitoringSocketPath(), std::nullopt) << "no dictionary";
    services->setProtocol(protocolWith(ProviderConfiguration{}));
    EXPECT_EQ(provider->resolveMonitoringSocketPath(), std::nullopt) << "no key";
    services->setProtocol(protocolWith(ProviderConfiguration{{"monitoringSocketPath", 42}}));
    EXPECT_EQ(provider->resolveMonitoringSocketPath(), std::nullopt) << "a number";
    services->setProtocol(protocolWith(ProviderConfiguration{{"monitoringSocketPath", "  /tmp/m.sock\n"}}));
    EXPECT_EQ(provider->resolveMonitoringSocketPath(), "  /tmp/m.sock\n") << "returned unchanged";
}

TEST_F(ProviderSpine, StartLogsInOrderAndCompletesWhenRulesAreSet) {
    std::promise<OptionalError> done;
    provider->startProxy(std::nullopt, [&](OptionalError error) { done.set_value(error); });
    ASSERT_EQ(services->appliedSettings().size(), 1u);
    ASSERT_TRUE(services->completeSettings());
    EXPECT_FALSE(done.get_future().get().has_value());
    std::vector<std::string> ours;
    for (const auto& message : logs->messages()) {
        if (message.starts_with("SentorixProxy: ")) {
            ours.push_back(message);
        }
    }
    EXPECT_EQ(ours, (std::vector<std::string>{"SentorixProxy: init()", "SentorixProxy: Starting Proxy provider...",
                                              "SentorixProxy: Rules summary included=32 excluded=2 httpsOnly=false",
                                              "SentorixProxy: Rules set successfully"}));
    EXPECT_EQ(logs->entries().front().subsystem, "SentorixNetworkExtension");
    EXPECT_EQ(logs->entries().front().category, "SentorixProxy");
}

TEST_F(ProviderSpine, SettingsErrorReachesTheCompletionUnchangedAfterItsLogLine) {
    const NSError failure = NSError::posix(EPERM, "Operation not permitted");
    std::optional<OptionalError> received;
    size_t logLinesAtCompletion = 0;
    provider->startProxy(std::nullopt, [&](OptionalError error) {
        received = error;
        logLinesAtCompletion = logs->countStartingWith("SentorixProxy: Failed to set rules: Operation not permitted");
    });
    services->completeSettings(failure);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, failure);
    EXPECT_EQ(logLinesAtCompletion, 1u);
    EXPECT_TRUE(provider->isHealthMonitoringRunning()) << "a failed start leaves health monitoring running";
}

TEST_F(ProviderSpine, SettingsCompletionAfterTheProviderIsGonePassesTheResultOn) {
    std::optional<OptionalError> received;
    provider->startProxy(std::nullopt, [&](OptionalError error) { received = error; });
    provider->stopProxy(NEProviderStopReason::UserInitiated, [] {});
    std::weak_ptr<PacketTunnelProvider> gone = provider;
    provider.reset();  // no health tick holds it: none has run
    ASSERT_TRUE(gone.expired());
    logs->clear();
    services->completeSettings(NSError::posix(EIO));
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->value().code(), EIO);
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: Failed to set rules"), 0u);
}

TEST_F(ProviderSpine, StartAndStopEventsReachTheConfiguredSocket) {
    TempDir dir;
    UnixFrameServer server(dir.file("monitor.sock"));
    services->setProtocol(protocolWith(ProviderConfiguration{{"monitoringSocketPath", "  " + server.path() + "\n"}}));
    provider->startProxy(std::nullopt, [](OptionalError) {});
    services->completeSettings();
    bool stopped = false;
    provider->stopProxy(NEProviderStopReason::UserInitiated, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(provider->isHealthMonitoringRunning());

    // Pick ours out by signal, should anything else join them.
    std::vector<nlohmann::json> lifecycle;
    server.waitForPayloads(
        [&](const std::vector<std::string>& payloads) {
            lifecycle.clear();
            for (const auto& payload : payloads) {
                auto object = nlohmann::json::parse(payload);
                if (object["current_signal"].get<std::string>().starts_with("provider_")) {
                    lifecycle.push_back(object);
                }
            }
            return lifecycle.size() >= 2;
        },
        5s);
    // The server ends with this test: TearDown's stop event would fail late, in the next test's log.
    provider->monitoring()->updateSocketPath(std::nullopt);
    ASSERT_EQ(lifecycle.size(), 2u);
    const auto& started = lifecycle[0];
    EXPECT_EQ(started.size(), 9u);
    EXPECT_EQ(started["current_signal"], "provider_started");
    EXPECT_EQ(started["level"], "info");
    EXPECT_EQ(started["code"], "extension.provider_started");
    EXPECT_EQ(started["message"], "Transparent proxy provider started");
    const auto& stoppedEvent = lifecycle[1];
    EXPECT_EQ(stoppedEvent["current_signal"], "provider_stopped");
    EXPECT_EQ(stoppedEvent["code"], "extension.provider_stopped");
    EXPECT_EQ(stoppedEvent["message"], "Transparent proxy provider stopped");
    EXPECT_EQ(stoppedEvent["context"], nlohmann::json({{"reason", "1"}}));
    EXPECT_FALSE(stoppedEvent.contains("metrics"));
    EXPECT_FALSE(stoppedEvent.contains("flow_id"));
}

TEST_F(ProviderSpine, StartWithoutASocketPathDropsItsEventsSilently) {
    provider->startProxy(std::nullopt, [](OptionalError) {});
    services->completeSettings();
    provider->stopProxy(NEProviderStopReason::UserInitiated, [] {});
    EXPECT_EQ(logs->countStartingWith("SentorixProxy monitoring send failed"), 0u);
}

TEST_F(ProviderSpine, StopWithoutStartStillCompletesOnce) {
    int completions = 0;
    provider->stopProxy(NEProviderStopReason::None, [&] { ++completions; });
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(provider->activeTunnelCount(), 0u);
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: Stopping Proxy"), 1u);
}

}  // namespace
}  // namespace sentorix
