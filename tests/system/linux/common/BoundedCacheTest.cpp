#include "BoundedCache.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace sentorix {
namespace {

using linux_system::BoundedCache;

TEST(BoundedCacheTest, PastItsLimitItForgetsEverythingAtOnceAndKeepsTheNewest) {
    BoundedCache<int, std::string> cache(2);
    cache.insert(1, "one");
    cache.insert(2, "two");
    cache.insert(3, "three");
    EXPECT_EQ(cache.size(), 3u) << "forgets only once it holds more than its limit";
    cache.assign(1, "uno");
    EXPECT_EQ(cache.size(), 1u) << "even when the key is there already";
    ASSERT_NE(cache.find(1), nullptr);
    EXPECT_EQ(*cache.find(1), "uno");
    EXPECT_EQ(cache.find(2), nullptr);
}

TEST(BoundedCacheTest, InsertKeepsWhatIsThereAndAssignReplacesIt) {
    BoundedCache<std::pair<int, int>, std::string, std::map<std::pair<int, int>, std::string>> cache(10);
    cache.insert({7, 1}, "/usr/bin/curl");
    cache.insert({7, 1}, "/usr/bin/other");
    EXPECT_EQ(*cache.find({7, 1}), "/usr/bin/curl");
    cache.assign({7, 1}, "/usr/bin/other");
    EXPECT_EQ(*cache.find({7, 1}), "/usr/bin/other");
    cache.clear();
    EXPECT_EQ(cache.find({7, 1}), nullptr);
}

}  // namespace
}  // namespace sentorix
