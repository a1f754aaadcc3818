#include "monitoring/ProxyTunnelMonitoringEvent.h"
#include "monitoring/ProxyTunnelMonitoringFrameEncoder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <regex>

namespace sentorix {
namespace {

using Event = ProxyTunnelMonitoringEvent;
using nlohmann::json;

Event plainEvent(std::string message = "Transparent proxy provider started") {
    return Event("provider_started", std::nullopt, "info", "extension.provider_started", std::move(message));
}

std::string encoded(const Event& event) {
    std::string out;
    EXPECT_FALSE(event.encodeJSON(out).has_value());
    return out;
}

TEST(ProxyTunnelMonitoringEvent, MinimalEventHasExactlyNineMembers) {
    const auto object = json::parse(encoded(plainEvent()));
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    EXPECT_EQ(keys, (std::set<std::string>{"message_id", "timestamp", "logged_at", "type", "current_signal",
                                           "component", "level", "code", "message"}));
    EXPECT_EQ(object["type"], "extension_proxy_event");
    EXPECT_EQ(object["component"], "network_extension");
}

TEST(ProxyTunnelMonitoringEvent, OptionalMembersAppearOnlyWhenSet) {
    const Event full("tunnel_closed", "FLOW", "error", "extension.tunnel_closed", "Tunnel closed with error",
                     Event::Metrics{{"elapsed_ms", 5.0}}, Event::Context{{"app_id", "com.example"}});
    const auto object = json::parse(encoded(full));
    EXPECT_EQ(object.size(), 12u);
    EXPECT_EQ(object["flow_id"], "FLOW");
    EXPECT_EQ(object["metrics"]["elapsed_ms"], 5.0);
    EXPECT_EQ(object["context"]["app_id"], "com.example");

    const Event emptyMaps("x", std::nullopt, "info", "c", "m", Event::Metrics{}, Event::Context{});
    const std::string text = encoded(emptyMaps);
    EXPECT_NE(text.find("\"metrics\":{}"), std::string::npos);
    EXPECT_NE(text.find("\"context\":{}"), std::string::npos);
    EXPECT_EQ(encoded(plainEvent()).find("metrics"), std::string::npos);
}

TEST(ProxyTunnelMonitoringEvent, IdentifiersAreFreshUpperCaseVersion4) {
    const auto a = plainEvent();
    const auto b = plainEvent();
    EXPECT_NE(a.messageID, b.messageID);
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    EXPECT_TRUE(std::regex_match(a.messageID, uuid)) << a.messageID;
}

TEST(ProxyTunnelMonitoringEvent, ClockFieldsDescribeTheSameSecond) {
    const auto event = plainEvent();
    EXPECT_TRUE(std::regex_match(event.loggedAt, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z)")))
        << event.loggedAt;
    const Event fixed("x", std::nullopt, "info", "c", "m", std::nullopt, std::nullopt, 1772352309.25,
                      "2026-03-01T08:05:09Z");
    EXPECT_EQ(fixed.loggedAt, "2026-03-01T08:05:09Z");
    const auto object = json::parse(encoded(fixed));
    EXPECT_EQ(object["timestamp"].get<double>(), 1772352309.25);
}

TEST(ProxyTunnelMonitoringEvent, TextIsEscapedOnOneLine) {
    const std::string text = encoded(plainEvent("say \"hi\"\nvia a/b \\ \x01 caf\xC3\xA9"));
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_NE(text.find(R"(say \"hi\"\nvia a\/b \\ \u0001 café)"), std::string::npos) << text;
    EXPECT_EQ(json::parse(text)["message"], "say \"hi\"\nvia a/b \\ \x01 caf\xC3\xA9");
}

TEST(ProxyTunnelMonitoringEvent, InvalidUtf8BecomesReplacementCharacterAndStaysValidJson) {
    // Executable paths on this system may hold any bytes; the output must still parse.
    const std::string text = encoded(plainEvent("/opt/\xFF\xC3(bad\xED\xA0\x80"));
    const auto message = json::parse(text)["message"].get<std::string>();
    EXPECT_EQ(message, "/opt/\xEF\xBF\xBD\xEF\xBF\xBD(bad\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(ProxyTunnelMonitoringEvent, NumbersUseShortestRoundTripForm) {
    const Event event("x", std::nullopt, "info", "c", "m", Event::Metrics{{"a", 5.0}, {"b", 0.1}, {"c", 1e300}},
                      std::nullopt, 1.5);
    const std::string text = encoded(event);
    EXPECT_NE(text.find("\"a\":5,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"b\":0.1,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"timestamp\":1.5,"), std::string::npos) << text;
    EXPECT_EQ(json::parse(text)["metrics"]["c"].get<double>(), 1e300);
}

TEST(ProxyTunnelMonitoringEvent, NonFiniteNumbersFailWithoutPartialOutput) {
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        const Event event("x", std::nullopt, "info", "c", "m", Event::Metrics{{"elapsed_ms", bad}});
        std::string out;
        const auto error = event.encodeJSON(out);
        ASSERT_TRUE(error.has_value());
        EXPECT_NE(error->localizedDescription().find("metrics.elapsed_ms"), std::string::npos);
        EXPECT_TRUE(out.empty());
    }
    NSData frame;
    const Event badTime("x", std::nullopt, "info", "c", "m", std::nullopt, std::nullopt, std::nan(""));
    EXPECT_TRUE(ProxyTunnelMonitoringFrameEncoder().encode(badTime, frame).has_value());
    EXPECT_TRUE(frame.empty());
}

TEST(ProxyTunnelMonitoringFrameEncoder, PrefixesBigEndianPayloadLength) {
    auto event = plainEvent("");
    const size_t base = encoded(event).size();
    event.message.assign(300 - base, 'x');
    NSData frame;
    ASSERT_FALSE(ProxyTunnelMonitoringFrameEncoder().encode(event, frame).has_value());
    ASSERT_EQ(frame.size(), 304u);
    EXPECT_EQ(frame[0], 0x00);
    EXPECT_EQ(frame[1], 0x00);
    EXPECT_EQ(frame[2], 0x01);
    EXPECT_EQ(frame[3], 0x2C);
    EXPECT_EQ(std::string(frame.begin() + 4, frame.end()), encoded(event));
}

}  // namespace
}  // namespace sentorix
