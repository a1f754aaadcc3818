#include "FakeJournal.h"
#include "JournalSender.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace sentorix::linux_system {
namespace {

using testing::FakeJournal;

TEST(JournalSender, WritesEachFieldSoThatJournaldReadsBackTheSameBytes) {
    FakeJournal journal;
    const JournalSender sender(journal.path(), false);
    const std::string multiline = "first\nsecond";
    const std::string withNul("a\0b", 3);
    ASSERT_TRUE(sender.send({{"MESSAGE", multiline}, {"PRIORITY", "5"}, {"SENTORIX_X", withNul}, {"EMPTY", ""}}));
    const auto entry = journal.next();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->find("MESSAGE")->second, multiline);
    EXPECT_EQ(entry->find("PRIORITY")->second, "5");
    EXPECT_EQ(entry->find("SENTORIX_X")->second, withNul);
    EXPECT_EQ(entry->find("EMPTY")->second, "");
}

TEST(JournalSender, AJournalThatIsNotThereIsAnErrorNotAWait) {
    const JournalSender sender("/nonexistent/journal/socket", true);
    const auto sent = sender.send({{"MESSAGE", "lost"}});
    ASSERT_FALSE(sent);
    EXPECT_NE(sent.error().localizedDescription().find("/nonexistent/journal/socket"), std::string::npos);
}

// A journal that has stopped reading (hung, or its disk full) costs an entry, and the error says why in
// words a person reads rather than the kernel's "Resource temporarily unavailable".
TEST(JournalSender, AJournalThatStopsReadingLosesTheEntryAndSaysSo) {
    FakeJournal journal;  // never read until the end
    const JournalSender hurried(journal.path(), false);
    Result<void> sent;
    for (int i = 0; i < 100000 && sent; ++i) {
        sent = hurried.send({{"MESSAGE", "fills the journal's queue"}});
    }
    ASSERT_FALSE(sent) << "the journal's queue never filled";
    EXPECT_NE(sent.error().localizedDescription().find("it is behind"), std::string::npos)
        << sent.error().localizedDescription();

    const JournalSender patient(journal.path(), true);
    const auto waited = patient.send({{"MESSAGE", "waits, then is lost"}});
    ASSERT_FALSE(waited);
    EXPECT_NE(waited.error().localizedDescription().find("it took nothing for 2 s"), std::string::npos)
        << waited.error().localizedDescription();
    EXPECT_TRUE(journal.next()) << "what it had taken is still there";
}

TEST(JournalSender, FieldNamesAreOnesJournaldAccepts) {
    EXPECT_EQ(JournalSender::fieldName("SENTORIX_", "app_id"), "SENTORIX_APP_ID");
    EXPECT_EQ(JournalSender::fieldName("SENTORIX_", "bytes.sent-total"), "SENTORIX_BYTES_SENT_TOTAL");
    EXPECT_EQ(JournalSender::fieldName("", "_private"), "X_PRIVATE") << "no trusted field can be forged";
    EXPECT_EQ(JournalSender::fieldName("", "9lives"), "X9LIVES");
    EXPECT_EQ(JournalSender::fieldName("SENTORIX_", std::string(100, 'k')).size(), 64u);
    EXPECT_EQ(JournalSender::fieldName("SENTORIX_", "caf\xc3\xa9"), "SENTORIX_CAF__");
}

TEST(JournalSender, StandardErrorIsTheJournalOnlyWhenItIsTheStreamNamed) {
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(JournalSender::standardErrorIsJournal());
    ::setenv("JOURNAL_STREAM", "1:1", 1);  // inherited, while standard error was redirected elsewhere
    EXPECT_FALSE(JournalSender::standardErrorIsJournal());
    struct stat status {};
    ASSERT_EQ(::fstat(STDERR_FILENO, &status), 0);
    ::setenv("JOURNAL_STREAM", (std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino)).c_str(), 1);
    EXPECT_TRUE(JournalSender::standardErrorIsJournal());
    ::unsetenv("JOURNAL_STREAM");
}

}  // namespace
}  // namespace sentorix::linux_system
