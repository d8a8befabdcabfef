#include "platform/basalt/recentCache.h"

#include <gtest/gtest.h>

namespace Basalt {
namespace {

TEST(RecentCacheTest, KeepsExactTextsWithinItsBytes) {
  RecentCache<int> cache(1600);  // room for about twenty short entries
  cache.Insert("token-0", 0);
  EXPECT_EQ(cache.Find("token-0"), 0);
  EXPECT_EQ(cache.Find("token-"), std::nullopt);
  EXPECT_EQ(cache.Find("token-00"), std::nullopt);
  cache.Insert(std::string(101, 'x'), 1);  // over a sixteenth of the bound
  EXPECT_EQ(cache.Find(std::string(101, 'x')), std::nullopt);

  // Past the bound everything goes, then filling starts again.
  for (int i = 1; i < 100; ++i) cache.Insert("token-" + std::to_string(i), i);
  EXPECT_EQ(cache.Find("token-0"), std::nullopt);
  EXPECT_EQ(cache.Find("token-99"), 99);
}

}  // namespace
}  // namespace Basalt
