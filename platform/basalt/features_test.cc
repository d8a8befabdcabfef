#include "platform/basalt/features.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

TEST(FeatureTableTest, SwitchesAreOnUnlessTurnedOff) {
  FeatureTable table = FeatureTable::Parse(
      "# host switches\n"
      "noxtokend = off\n"
      "external_sts=on   # trailing comment\n"
      "unknown_switch = off\n");
  EXPECT_FALSE(table[FeatureTable::kNoxtokend]);
  EXPECT_TRUE(table[FeatureTable::kExternalSts]);
  EXPECT_TRUE(table[17]);
  EXPECT_FALSE(table[FeatureTable::kSize]);  // outside the table

  EXPECT_TRUE(FeatureTable::Parse("")[105]);
  EXPECT_FALSE(FeatureTable::Parse("\texternal_sts\t=\tOFF\r\n")[195]);
  EXPECT_TRUE(FeatureTable::Parse("# noxtokend = off\n")[105]);
}

TEST(FeatureTableTest, DamagedLinesSwitchNothingOff) {
  FeatureTable table = FeatureTable::Parse(
      "noxtokend off\n"
      "external_sts = maybe\n"
      "= off\n"
      "noxtokend = off extra\n");
  EXPECT_TRUE(table[105]);
  EXPECT_TRUE(table[195]);
  // The last line of a name wins.
  EXPECT_TRUE(FeatureTable::Parse("noxtokend = off\nnoxtokend = on")[105]);
}

TEST(FeatureStateTest, InitReadsTheHostFileUnderTheRoot) {
  auto root =
      std::filesystem::temp_directory_path() / ("features-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "etc/tessel");
  ::setenv("TESSEL_ROOT", root.c_str(), 1);

  FeatureState_Init();  // no file yet
  EXPECT_TRUE(FeatureList[105]);
  EXPECT_TRUE(FeatureList[195]);

  std::ofstream(root / "etc/tessel/features.conf") << "external_sts = off\n";
  FeatureState_Init();
  EXPECT_TRUE(FeatureList[105]);
  EXPECT_FALSE(FeatureList[195]);

  std::filesystem::remove(root / "etc/tessel/features.conf");
  FeatureState_Init();
  EXPECT_TRUE(FeatureList[195]);

  ::unsetenv("TESSEL_ROOT");
  std::filesystem::remove_all(root);
}

}  // namespace
