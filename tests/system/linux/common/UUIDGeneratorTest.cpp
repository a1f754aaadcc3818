#include "UUIDGenerator.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

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

}  // namespace
