#include "platform/basalt/journalStream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace Basalt::Service {
namespace {

TEST(JournalStreamTest, MapsEveryLevelToASyslogPriority) {
  const std::pair<int, int> cases[] = {{0, 2}, {2, 2}, {3, 3}, {4, 4},  {5, 6},
                                       {6, 7}, {7, 7}, {8, 5}, {110, 5}};
  for (auto [level, priority] : cases) EXPECT_EQ(JournalPriority(level), priority) << level;
}

TEST(JournalStreamTest, RecognisesOnlyTheNamedStream) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  int fd = fileno(file);
  struct stat status {};
  ASSERT_EQ(fstat(fd, &status), 0);
  std::string device = std::to_string(status.st_dev);
  std::string inode = std::to_string(status.st_ino);
  const std::pair<std::string, bool> cases[] = {
      {device + ":" + inode, true},
      {device + ":" + std::to_string(status.st_ino + 1), false},
      {device + ":" + inode + "x", false},
      {device + inode, false},
      {"", false},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(IsJournalStream(value.c_str(), fd), expected) << value;
  }
  EXPECT_FALSE(IsJournalStream(nullptr, fd));
  EXPECT_FALSE(IsJournalStream((device + ":" + inode).c_str(), -1));
  std::fclose(file);
}

TEST(JournalStreamTest, PrefixesEachPhysicalLine) {
  EXPECT_EQ(WithJournalPriority("refused\n", 3), "<3>refused\n");
  EXPECT_EQ(WithJournalPriority("first\nsecond\n", 5), "<6>first\n<6>second\n");
  EXPECT_EQ(WithJournalPriority("", 3), "");
}

}  // namespace
}  // namespace Basalt::Service
