#include "platform/basalt/features.h"

#include <gtest/gtest.h>

namespace {

constexpr size_t kDaemon = FeatureTable::kNoxtokend, kSts = FeatureTable::kExternalSts;

// Every switch is on unless a well-formed line turns it off; damaged lines switch nothing off.
TEST(FeatureTableTest, OnlyWellFormedLinesTurnSwitchesOff) {
  const struct {
    const char* text;
    bool daemon, sts;
  } cases[] = {
      {"", true, true},
      {"# host switches\nnoxtokend = off\nexternal_sts=off   # trailing\nunknown = off\n", false,
       false},
      {"\texternal_sts\t=\tOFF\r\n", true, false},
      {"# noxtokend = off\n", true, true},
      {"noxtokend off\nexternal_sts = maybe\n= off\nnoxtokend = off extra\n", true, true},
      {"noxtokend = off\nnoxtokend = on", true, true},  // the last line of a name wins
      {"noxtokend = No\nexternal_sts = FALSE\n", false, false},
      {"noxtokend = 0\nexternal_sts = yes\n", false, true},
  };
  for (const auto& [text, daemon, sts] : cases) {
    const FeatureTable table = FeatureTable::Parse(text);
    EXPECT_EQ(table[kDaemon], daemon) << text;
    EXPECT_EQ(table[kSts], sts) << text;
    EXPECT_TRUE(table[17]) << text;
    EXPECT_FALSE(table[FeatureTable::kSize]) << text;  // outside the table
  }
  // A known switch's unreadable value is named for the log; unknown names are another program's.
  EXPECT_EQ(FeatureTable::Parse("external_sts = of  # typo\nunknown = x\nnoxtokend = on\n")
                .UnreadableLines(),
            std::vector<std::string>{"external_sts = of"});
}

}  // namespace
