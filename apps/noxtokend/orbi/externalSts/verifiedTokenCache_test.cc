#include "apps/noxtokend/orbi/externalSts/verifiedTokenCache.h"

#include <gtest/gtest.h>

namespace Nox::Authn {
namespace {

VerifiedTokenCache::EntryPtr Expiring(long exp, size_t certificateBytes = 0) {
  auto entry = std::make_shared<VerifiedExternalToken>();
  entry->claims.exp = exp;
  entry->certificate.assign(certificateBytes, 'c');
  return entry;
}

// A full cache gives up what has expired, then what expires first; what is too large or already
// expired never goes in.
TEST(VerifiedTokenCacheTest, FullMakesRoomByExpiry) {
  constexpr int64_t kNow = 1000;
  VerifiedTokenCache cache;
  cache.Insert("expired", Expiring(kNow - 1), kNow);
  cache.Insert("huge", Expiring(kNow + 1, VerifiedTokenCache::kMaxBytes / 64), kNow);
  EXPECT_EQ(cache.size(), 0u);

  cache.Insert("first", Expiring(kNow + 1), kNow);
  EXPECT_NE(cache.Find("first", kNow + 1), nullptr);
  EXPECT_EQ(cache.Find("first", kNow + 2), nullptr);  // "exp" is the last valid second

  for (size_t i = 1; i < VerifiedTokenCache::kMaxEntries; ++i) {
    cache.Insert("t" + std::to_string(i), Expiring(kNow + 10 + static_cast<long>(i)), kNow);
  }
  ASSERT_EQ(cache.size(), VerifiedTokenCache::kMaxEntries);
  cache.Insert("late", Expiring(kNow + 5000), kNow + 5);  // "first" has expired by then
  EXPECT_EQ(cache.size(), VerifiedTokenCache::kMaxEntries);
  EXPECT_EQ(cache.Find("first", kNow), nullptr);
  cache.Insert("later", Expiring(kNow + 5000), kNow + 5);  // none has: the soonest goes
  EXPECT_EQ(cache.Find("t1", kNow), nullptr);
  EXPECT_NE(cache.Find("t2", kNow), nullptr);
  EXPECT_NE(cache.Find("late", kNow), nullptr);

  cache.Erase("later");
  EXPECT_EQ(cache.Find("later", kNow), nullptr);
}

}  // namespace
}  // namespace Nox::Authn
