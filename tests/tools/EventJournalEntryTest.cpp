#include "EventJournalEntry.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

std::vector<std::string> valuesOf(const EventJournalEntry::Fields& fields, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& [field, value] : fields) {
        if (field == name) {
            values.push_back(value);
        }
    }
    return values;
}
std::string only(const EventJournalEntry::Fields& fields, const std::string& name) {
    const auto values = valuesOf(fields, name);
    return values.size() == 1 ? values.front() : "<" + std::to_string(values.size()) + " values>";
}

TEST(EventJournalEntry, AnEventsMembersBecomeTheFieldsPeopleFilterOn) {
    const std::string json =
        R"({"message_id":"6F1C","timestamp":1765432100.25,"logged_at":"2026-12-11T06:00:00Z",)"
        R"("type":"proxy_tunnel","current_signal":"tunnel_established","flow_id":"A-1","component":"extension",)"
        R"("level":"info","code":"extension.tunnel_established","message":"Tunnel established",)"
        R"("metrics":{"handshake_ms":1.5},"context":{"app_id":"/usr/bin/curl","target":"[2001:db8::1]:443"}})";
    const auto fields = EventJournalEntry::fieldsOf(json);
    EXPECT_EQ(only(fields, "MESSAGE"), json) << "the event's own bytes, for collectors that want them";
    EXPECT_EQ(only(fields, "SENTORIX_SIGNAL"), "tunnel_established");
    EXPECT_EQ(only(fields, "SENTORIX_CODE"), "extension.tunnel_established");
    EXPECT_EQ(only(fields, "SENTORIX_FLOW_ID"), "A-1");
    EXPECT_EQ(only(fields, "SENTORIX_APP_ID"), "/usr/bin/curl");
    EXPECT_EQ(only(fields, "SENTORIX_TARGET"), "[2001:db8::1]:443");
    EXPECT_EQ(only(fields, "SENTORIX_HANDSHAKE_MS"), "1.5");
    EXPECT_EQ(only(fields, "SENTORIX_EVENT_MESSAGE"), "Tunnel established");
    EXPECT_EQ(only(fields, "SENTORIX_TIMESTAMP"), "1765432100.25");
    EXPECT_EQ(only(fields, "PRIORITY"), "6");
    EXPECT_EQ(only(fields, "SYSLOG_IDENTIFIER"), "sentorix-monitor");
    EXPECT_TRUE(valuesOf(fields, "SENTORIX_MALFORMED").empty());
}

TEST(EventJournalEntry, EscapesAreDecodedAndAbsentOrNullMembersMakeNoField) {
    const auto fields = EventJournalEntry::fieldsOf(
        R"({"current_signal":"x","flow_id":null,"level":"error","context":{"detail":"say \"hi\"\nvia a\/b \\ \u0001 caf\u00e9 \ud83d\ude00"}})");
    EXPECT_EQ(only(fields, "SENTORIX_DETAIL"), "say \"hi\"\nvia a/b \\ \x01 caf\xc3\xa9 \xf0\x9f\x98\x80");
    EXPECT_TRUE(valuesOf(fields, "SENTORIX_FLOW_ID").empty());
    EXPECT_EQ(only(fields, "PRIORITY"), "3");
    EXPECT_EQ(only(EventJournalEntry::fieldsOf(R"({"code":"\ud800!"})"), "SENTORIX_CODE"), "\xef\xbf\xbd!")
        << "a lone surrogate is replaced, so the field stays UTF-8";
}

TEST(EventJournalEntry, WhatIsNotAWholeEventIsStillRecordedAndMarked) {
    for (const std::string& bad : {std::string(""), std::string("not json"), std::string(R"({"code":"x")"),
                                  std::string(R"({"code":"x"} trailing)"),
                                  std::string(R"({"code":"\u12"})"), std::string(20000, '['),
                                  std::string(R"({"context":)") + std::string(5000, '{')}) {
        const auto fields = EventJournalEntry::fieldsOf(bad);
        EXPECT_EQ(only(fields, "MESSAGE"), bad);
        EXPECT_EQ(only(fields, "SENTORIX_MALFORMED"), "1") << bad.substr(0, 40);
        EXPECT_TRUE(valuesOf(fields, "SENTORIX_CODE").empty()) << "nothing of a broken event is taken as its";
    }
}

}  // namespace
