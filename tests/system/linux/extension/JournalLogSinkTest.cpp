#include "FakeJournal.h"
#include "JournalLogSink.h"

#include <gtest/gtest.h>

namespace sentorix::linux_system {
namespace {

using testing::FakeJournal;

class JournalLog : public ::testing::Test {
protected:
    FakeJournal system{"system"};
    FakeJournal flows{"flows"};
    JournalLogSink sink{system.path(), flows.path()};
};

TEST_F(JournalLog, LinesCarryTheIdentifierHandleAndPriority) {
    sink.write({"com.sentorix.desktop.extension", "Platform", OSLogType::Info, "Sentorix platform: up"});
    const auto entry = system.next();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->find("MESSAGE")->second, "Sentorix platform: up");
    EXPECT_EQ(entry->find("PRIORITY")->second, "6");
    EXPECT_EQ(entry->find("SYSLOG_IDENTIFIER")->second, "com.sentorix.desktop.extension");
    EXPECT_EQ(entry->find("SENTORIX_SUBSYSTEM")->second, "com.sentorix.desktop.extension");
    EXPECT_EQ(entry->find("SENTORIX_CATEGORY")->second, "Platform");
}

TEST_F(JournalLog, ATunnelsRoutineLinesGoApartAndItsErrorsStayInTheSystemJournal) {
    sink.write({"com.sentorix.desktop.extension", "SentorixProxy", OSLogType::Default,
                "SentorixProxy: Sending CONNECT handshake (details private)"});
    sink.write({"com.sentorix.desktop.extension", "SentorixProxy", OSLogType::Error,
                "SentorixProxy: CONNECT handshake timed out"});
    const auto routine = flows.next();
    ASSERT_TRUE(routine);
    EXPECT_EQ(routine->find("PRIORITY")->second, "5");
    const auto error = system.next();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->find("MESSAGE")->second, "SentorixProxy: CONNECT handshake timed out");
    EXPECT_EQ(error->find("PRIORITY")->second, "3");
    EXPECT_FALSE(system.next(100)) << "the routine line is not in the system journal";
}

TEST(JournalLogSink, ANamespaceNobodyRunsLosesTheLineNotTheFlow) {
    FakeJournal system;
    JournalLogSink sink(system.path(), "/nonexistent/journal.sentorix/socket");
    sink.write({"s", "SentorixProxy", OSLogType::Info, "SentorixProxy: Handshake successful."});
    EXPECT_EQ(sink.dropped(), 1u);
    EXPECT_FALSE(system.next(100));
}

}  // namespace
}  // namespace sentorix::linux_system
