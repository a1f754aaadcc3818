#include "RotatingLogSink.h"
#include "UnixFrameServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

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

// Flow threads write without a lock: every line must still land whole, and rotation happen once per limit.
TEST(RotatingLogSink, LinesFromManyThreadsLandWholeAndRotationStillHoldsTwoFiles) {
    TempDir root;
    auto state = SecureDirectory::open(root.file("state"), true);
    ASSERT_TRUE(state);
    const auto directory = std::make_shared<const SecureDirectory>(std::move(*state));
    auto opened = directory->openFile("extension.log", O_WRONLY | O_CREAT | O_APPEND);
    ASSERT_TRUE(opened);
    UniqueFd log = std::move(*opened);
    for (const std::uint64_t limit : {std::uint64_t(64) << 20, std::uint64_t(20000)}) {
        RotatingLogSink sink(directory, "extension.log", "extension.log.1", {log.get()}, limit);
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&sink, t] {
                for (int i = 0; i < 2000; ++i) {
                    sink.write(LogEntry{"s", "c", OSLogType::Info, std::string(80, char('a' + t))});
                }
            });
        }
        for (auto& writer : writers) {
            writer.join();
        }
        std::size_t lines = 0;
        for (const char* name : {"extension.log", "extension.log.1"}) {
            std::ifstream file(directory->pathOf(name));
            for (std::string line; std::getline(file, line);) {
                ++lines;
                const auto text = line.substr(line.rfind(' ') + 1);
                ASSERT_EQ(text.size(), 80u) << "a line cut or mixed with another: " << line;
                ASSERT_EQ(text.find_first_not_of(text[0]), std::string::npos) << line;
            }
        }
        EXPECT_FALSE(fs::exists(directory->pathOf("extension.log.2")));
        if (limit > (1u << 20)) {
            EXPECT_EQ(lines, 8000u) << "below the limit every line is kept";
            fs::remove(directory->pathOf("extension.log.1"));
            ASSERT_EQ(::ftruncate(log.get(), 0), 0);
        } else {
            // Lines written while a rotation runs still land in the file being renamed, more of them the
            // slower the rotation (a sanitized build): bounded all the same, far below the 960 kB written.
            EXPECT_LT(fs::file_size(directory->pathOf("extension.log.1")), 10 * limit) << "an ever-growing older file";
        }
    }
}

}  // namespace
}  // namespace sentorix::linux_system
