#include "platform/basalt/features.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/basalt/testing/temporaryHostRoot.h"

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
  };
  for (const auto& [text, daemon, sts] : cases) {
    const FeatureTable table = FeatureTable::Parse(text);
    EXPECT_EQ(table[kDaemon], daemon) << text;
    EXPECT_EQ(table[kSts], sts) << text;
    EXPECT_TRUE(table[17]) << text;
    EXPECT_FALSE(table[FeatureTable::kSize]) << text;  // outside the table
  }
}

TEST(FeatureStateTest, InitReadsTheHostFileUnderTheRoot) {
  const Basalt::Testing::TemporaryHostRoot root;
  std::filesystem::create_directories(root.Path() / "etc/tessel");
  FeatureState_Init();  // no file yet
  EXPECT_TRUE(FeatureList[kSts]);
  std::ofstream(root.Path() / "etc/tessel/features.conf") << "external_sts = off\n";
  FeatureState_Init();
  EXPECT_TRUE(FeatureList[kDaemon]);
  EXPECT_FALSE(FeatureList[kSts]);
  std::filesystem::remove(root.Path() / "etc/tessel/features.conf");
  FeatureState_Init();
  EXPECT_TRUE(FeatureList[kSts]);
}

}  // namespace
