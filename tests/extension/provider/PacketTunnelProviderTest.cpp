#include "FakeProviderServices.h"
#include "LogCapture.h"
#include "ManualClock.h"
#include "UnixFrameServer.h"
#include "platform/NETunnelProviderProtocol.h"
#include "provider/BuiltInPolicy.h"
#include "provider/PacketTunnelProvider.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
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

// Every identifier the bypass list held before it named Linux programs: none may be lost.
const std::vector<std::string> EarlierBypassIds = {
    "com.sentorix.proxy-sidecar", "com.sentorix.helper", "com.sentorix.desktop", "com.sentorix.desktop.extension",
    "com.sentorix.desktop.extensionhost", "com.apple.mDNSResponder", "com.apple.nsurlsessiond", "com.apple.trustd",
    "com.apple.geod", "com.apple.cloudd", "com.apple.WebCore", "com.cisco.anyconnect", "com.mullvad.vpn",
    "com.nordvpn.osx", "com.ivpn.client", "com.tunnelbear.mac.TunnelBear", "io.tailscale.ipn.macos",
    "net.sparklabs.Viscosity", "com.fortinet.forticlient", "com.fortinet.forticlient.vpn", "com.fortinet.FortiClient",
    "com.fortinet.forticlient.macos", "com.fortinet.forticlient.fct_vulnerabilities",
};

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool earlier(const std::string& id) {
    return std::find(EarlierBypassIds.begin(), EarlierBypassIds.end(), id) != EarlierBypassIds.end();
}

TEST_F(ProviderSpine, BypassedApplicationsKeepEveryEarlierIdentifierInAnyCase) {
    for (const auto& id : EarlierBypassIds) {
        EXPECT_TRUE(provider->declinesEveryFlowOf(id)) << id;
        EXPECT_TRUE(provider->declinesEveryFlowOf(lowercased(id))) << id;
    }
}

TEST(BuiltInPolicy, BypassedLinuxIdentifiersAreOnesTheIdentityRulesCanProduce) {
    const auto& ids = BuiltInPolicy::bypassAppIds();
    for (std::size_t i = 0; i < ids.size(); ++i) {
        for (std::size_t j = i + 1; j < ids.size(); ++j) {
            // Two earlier ones differ only in case; a new entry must not repeat any other.
            if (!earlier(ids[i]) || !earlier(ids[j])) {
                EXPECT_NE(lowercased(ids[i]), lowercased(ids[j])) << "listed twice";
            }
            EXPECT_NE(ids[i], ids[j]) << "listed twice";
        }
    }
    for (const auto& id : ids) {
        ASSERT_FALSE(id.empty());
        EXPECT_FALSE(std::isspace(static_cast<unsigned char>(id.front())) ||
                     std::isspace(static_cast<unsigned char>(id.back())))
            << "'" << id << "': flows are matched untrimmed";
        if (earlier(id)) {
            continue;
        }
        if (id.starts_with('/')) {
            // The kernel gives a program's path resolved: no link, no empty or relative step.
            EXPECT_FALSE(id.ends_with('/')) << id;
            for (const char* step : {"//", "/./", "/../"}) {
                EXPECT_EQ(id.find(step), std::string::npos) << id;
            }
            for (const char* merged : {"/bin/", "/sbin/", "/lib/", "/lib64/"}) {
                EXPECT_FALSE(id.starts_with(merged)) << id << ": a link into /usr on Debian 12";
            }
        } else {
            // A unit's identifier: the rules drop the suffix, keep a template's instance, and read
            // "app-" units as desktop units.
            EXPECT_EQ(id.find('/'), std::string::npos) << id;
            for (const char* suffix : {".service", ".scope", ".slice", "@"}) {
                EXPECT_FALSE(lowercased(id).ends_with(suffix)) << id;
            }
            EXPECT_FALSE(id.starts_with("app-")) << id;
        }
    }
}

TEST_F(ProviderSpine, OrdinaryProgramsAndWhatStartsThemAreNotBypassed) {
    // Interpreters run scripts of every kind (unattended-upgrade and Proton VPN's window among them);
    // D-Bus, the service managers and the session start programs of every kind.
    for (const char* id : {"/usr/bin/curl", "/usr/bin/wget", "/usr/bin/python3.11", "/usr/bin/python3",
                           "/usr/bin/perl", "/usr/bin/bash", "/usr/bin/dash", "/usr/bin/ssh", "/usr/bin/env",
                           "/usr/bin/flatpak", "/usr/lib/firefox-esr/firefox-esr", "org.mozilla.firefox",
                           "org.gnome.Terminal", "dbus", "/usr/bin/dbus-daemon", "systemd", "/usr/lib/systemd/systemd",
                           "user@1000", "/usr/bin/sudo"}) {
        EXPECT_FALSE(provider->declinesEveryFlowOf(id)) << id;
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
