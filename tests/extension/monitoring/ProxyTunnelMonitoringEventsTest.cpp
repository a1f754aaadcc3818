#include "monitoring/ProxyTunnelMonitoringEvent.h"
#include "monitoring/ProxyTunnelMonitoringEvents.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace sentorix {
namespace {

// Every event peers may receive, as they were agreed: signal, code, level, message, context keys and
// metric keys. Written out by hand so that a change to the catalogue is a change here too.
struct Agreed {
    std::string signal, code, level, message;
    std::vector<std::string> context, metrics;
};

const std::vector<Agreed> agreedEvents = {
    {"provider_started", "extension.provider_started", "info", "Transparent proxy provider started", {}, {}},
    {"provider_stopped", "extension.provider_stopped", "info", "Transparent proxy provider stopped", {"reason"}, {}},
    {"connect_handshake_rejected", "extension.connect_handshake_backlog_exceeded", "error",
     "Rejected flow due to CONNECT handshake backlog", {"app_id"}, {"pending_handshakes"}},
    {"connect_handshake_started", "extension.connect_handshake_started", "info", "Starting CONNECT handshake",
     {"app_id", "remote"}, {}},
    {"connect_handshake_write_failed", "extension.connect_handshake_write_failed", "error",
     "Failed to write CONNECT handshake", {"detail"}, {}},
    {"connect_handshake_read_failed", "extension.connect_handshake_read_failed", "error",
     "Failed to read CONNECT response", {"detail"}, {}},
    {"connect_handshake_rejected", "extension.connect_handshake_non_200", "error",
     "CONNECT handshake failed with non-200 status", {"app_id", "status_line"}, {}},
    {"connect_handshake_invalid", "extension.connect_handshake_invalid", "error",
     "CONNECT handshake response was invalid", {"app_id", "reason"}, {}},
    {"connect_handshake_succeeded", "extension.connect_handshake_succeeded", "info", "CONNECT handshake completed",
     {"app_id"}, {"elapsed_ms", "leftover_bytes"}},
    {"connect_handshake_leftover_write_failed", "extension.connect_handshake_leftover_write_failed", "error",
     "Failed to forward CONNECT leftover bytes", {"detail"}, {}},
    {"connect_handshake_timed_out", "extension.connect_handshake_timed_out", "error", "CONNECT handshake timed out",
     {"app_id"}, {"timeout_seconds"}},
    {"tunnel_closed", "extension.tunnel_closed", "info", "Tunnel closed", {"app_id", "detail"}, {}},
    {"tunnel_closed", "extension.tunnel_closed", "error", "Tunnel closed with error", {"app_id", "detail"}, {}},
    {"proxy_unreachable", "extension.proxy_unreachable", "error",
     "Local proxy is unreachable; transparent proxy is bypassing new flows", {"proxy"}, {}},
    {"proxy_recovered", "extension.proxy_recovered", "info",
     "Local proxy recovered; transparent proxy can handle new flows", {"proxy"}, {}},
};

std::vector<std::string> keysOf(const ProxyTunnelMonitoringEventKind::Keys& keys) {
    return {keys.begin(), keys.begin() + static_cast<long>(ProxyTunnelMonitoringEventKind::count(keys))};
}

TEST(ProxyTunnelMonitoringEvents, TheCatalogueIsExactlyTheAgreedEvents) {
    ASSERT_EQ(ProxyTunnelMonitoringEvents::all.size(), agreedEvents.size());
    for (std::size_t i = 0; i < agreedEvents.size(); ++i) {
        const auto& kind = *ProxyTunnelMonitoringEvents::all[i];
        const auto& agreed = agreedEvents[i];
        SCOPED_TRACE(agreed.code + " " + agreed.level);
        EXPECT_EQ(kind.currentSignal, agreed.signal);
        EXPECT_EQ(kind.code, agreed.code);
        EXPECT_EQ(kind.level, agreed.level);
        EXPECT_EQ(kind.message, agreed.message);
        EXPECT_EQ(keysOf(kind.contextKeys), agreed.context);
        EXPECT_EQ(keysOf(kind.metricKeys), agreed.metrics);
    }
    // Each entry is one event: no two share code, level and message.
    std::set<std::tuple<std::string_view, std::string_view, std::string_view>> distinct;
    for (const auto* kind : ProxyTunnelMonitoringEvents::all) {
        EXPECT_TRUE(distinct.emplace(kind->code, kind->level, kind->message).second) << kind->code;
    }
}

TEST(ProxyTunnelMonitoringEvents, AnEventOfAKindEncodesAsTheSameEventSpelledOut) {
    const auto encode = [](ProxyTunnelMonitoringEvent event) {
        event.messageID = "ID";
        event.timestamp = 1.5;
        event.loggedAt = "T";
        std::string out;
        EXPECT_FALSE(event.encodeJSON(out));
        return out;
    };
    using Event = ProxyTunnelMonitoringEvent;
    EXPECT_EQ(encode(Event(ProxyTunnelMonitoringEvents::handshakeSucceeded, "F", {"app"}, {12.5, 3})),
              encode(Event("connect_handshake_succeeded", "F", "info", "extension.connect_handshake_succeeded",
                           "CONNECT handshake completed", Event::Metrics{{"elapsed_ms", 12.5}, {"leftover_bytes", 3}},
                           Event::Context{{"app_id", "app"}})));
    // No keys of a kind: the member is absent, not empty.
    EXPECT_EQ(encode(Event(ProxyTunnelMonitoringEvents::providerStarted, std::nullopt)),
              encode(Event("provider_started", std::nullopt, "info", "extension.provider_started",
                           "Transparent proxy provider started")));
}

}  // namespace
}  // namespace sentorix
