#include "RotatingLogSink.h"
#include "UnixFrameServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>

namespace sentorix::linux_system {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(RotatingLogSink, RotatesPastItsLimitKeepingOneOlderFile) {
    TempDir root;
    auto state = SecureDirectory::open(root.file("state"), true);
    ASSERT_TRUE(state) << state.error().localizedDescription();
    const auto directory = std::make_shared<const SecureDirectory>(std::move(*state));
    // The descriptor the sink writes to stands in for standard error.
    auto opened = directory->openFile("extension.log", O_WRONLY | O_CREAT | O_APPEND);
    ASSERT_TRUE(opened);
    UniqueFd log = std::move(*opened);
    ASSERT_TRUE(RotatingLogSink::writesTo(*directory, "extension.log", log.get()));
    RotatingLogSink sink(directory, "extension.log", "extension.log.1", {log.get()}, 1000);
    const LogEntry entry{"s", "c", OSLogType::Info, std::string(90, 'x')};
    for (int i = 0; i < 25; ++i) {
        sink.write(entry);
    }
    const auto size = [&](const char* name) { return fs::file_size(directory->pathOf(name)); };
    EXPECT_GE(size("extension.log.1"), 1000u);
    EXPECT_LT(size("extension.log.1"), 1200u) << "the older file is the last full one, not an ever-growing one";
    EXPECT_LT(size("extension.log"), 1000u);
    EXPECT_TRUE(RotatingLogSink::writesTo(*directory, "extension.log", log.get())) << "the descriptor follows";
    EXPECT_FALSE(fs::exists(directory->pathOf("extension.log.2")));
}

}  // namespace
}  // namespace sentorix::linux_system
