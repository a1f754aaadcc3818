#include "UUIDGenerator.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using sentorix::linux_system::UUIDGenerator;

// Readers of the monitoring frames and the flow identifiers take these as version 4 UUIDs; a wrong
// mask or a stuck source would show as a bad layout or a repeat.
TEST(UUIDGenerator, IdentifiersAreDistinctVersion4UUIDs) {
    const std::regex layout("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    std::set<char> variants;
    for (int i = 0; i < 20000; ++i) {
        const std::string id = UUIDGenerator::random();
        ASSERT_TRUE(std::regex_match(id, layout)) << id;
        ASSERT_TRUE(seen.insert(id).second) << "repeated: " << id;
        variants.insert(id[19]);
    }
    // The variant keeps its two random bits: all four values turn up.
    EXPECT_EQ(variants, (std::set<char>{'8', '9', 'A', 'B'}));
}

// Each thread draws from bytes of its own, and a forked child from fresh ones: neither may repeat
// another's identifiers.
TEST(UUIDGenerator, ThreadsAndForkedChildrenNeverRepeatEachOthersIdentifiers) {
    std::vector<std::vector<std::string>> drawn(4);
    std::vector<std::thread> threads;
    for (auto& ids : drawn) {
        threads.emplace_back([&ids] {
            for (int i = 0; i < 5000; ++i) {
                ids.push_back(UUIDGenerator::random());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::string> seen;
    for (const auto& ids : drawn) {
        for (const auto& id : ids) {
            ASSERT_TRUE(seen.insert(id).second) << "repeated across threads: " << id;
        }
    }

    UUIDGenerator::random();  // bytes left over for a child to inherit
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string id = UUIDGenerator::random();
        (void)!::write(channel[1], id.data(), id.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    char inChild[36];
    ASSERT_EQ(::read(channel[0], inChild, sizeof inChild), ssize_t(sizeof inChild));
    ::close(channel[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_NE(std::string(inChild, sizeof inChild), UUIDGenerator::random()) << "the child drew its parent's next";
}

}  // namespace
