#include "LogCapture.h"
#include "platform/NSError.h"
#include "platform/StringTrimming.h"

#include <gtest/gtest.h>

namespace sentorix {
namespace {

TEST(NSError, DescriptionNamesDomainCodeAndText) {
    EXPECT_EQ(NSError(NSError::SentorixDomain, 1001, "Proxy handshake backlog exceeded").description(),
              "Error Domain=SentorixProxy Code=1001 \"Proxy handshake backlog exceeded\"");
    const auto posix = NSError::posix(ECONNREFUSED);
    EXPECT_EQ(posix.domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(posix.code(), ECONNREFUSED);
    EXPECT_FALSE(posix.localizedDescription().empty());
}

TEST(StringTrimming, RemovesAsciiAndUnicodeBlanksAtBothEndsOnly) {
    EXPECT_EQ(trimmingWhitespaceAndNewlines("  /tmp/a b.sock\n"), "/tmp/a b.sock");
    EXPECT_EQ(trimmingWhitespaceAndNewlines("\t\r\n \v\f"), "");
    EXPECT_EQ(trimmingWhitespaceAndNewlines("\xC2\xA0x\xE2\x80\xA8"), "x");
    EXPECT_EQ(trimmingWhitespaceAndNewlines("\xC3\xA9"), "\xC3\xA9");  // é is not a blank
    EXPECT_EQ(trimmingWhitespaceAndNewlines(""), "");
}

TEST(OSLog, CapturingSinkSeesSubsystemCategoryAndLevel) {
    testing::LogCapture logs;
    OSLog("com.sentorix.test", "SentorixProxy").notice("SentorixProxy: hello");
    const auto entries = logs->entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].subsystem, "com.sentorix.test");
    EXPECT_EQ(entries[0].category, "SentorixProxy");
    EXPECT_EQ(entries[0].type, OSLogType::Default);
    EXPECT_EQ(entries[0].message, "SentorixProxy: hello");
}

}  // namespace
}  // namespace sentorix
