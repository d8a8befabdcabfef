#include "platform/basalt/uuid.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(UuidTest, StaysDistinctAndWellFormedAcrossPoolRefillsInLowerCaseGroups) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    unsigned char uuid[16];
    ASSERT_TRUE(UUID_CreateRandom(uuid));
    std::string text = UUID_PackText(uuid);
    ASSERT_EQ(text.size(), 36u);
    ASSERT_EQ(text[14], '4') << text;
    ASSERT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
  const unsigned char fixed[16] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0,
                                   0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  EXPECT_EQ(UUID_PackText(fixed), "12345678-9abc-def0-0123-456789abcdef");
}

}  // namespace
