#include "apps/noxtokend/orbi/secret.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/basalt/testing/messageOf.h"

namespace Com::Tessel::Nox::Authentication {
namespace {

using namespace std::string_literals;
using Basalt::Testing::MessageOf;
using testing::HasSubstr;

class SecretFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/secret_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/tokend-secret";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string& content) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good());
  }

  std::string dir_;
  std::string path_;
  std::string cache_;
  std::mutex guard_;
};

// How the daemon answers each of these is checked end to end; here what the file gives.
TEST_F(SecretFileTest, KeyIsTheFileUpToTheFirstNulAndAnythingElseIsRefusedAndRetried) {
  std::string random;
  for (int i = 0; i < 32; ++i) random.push_back(static_cast<char>(0x80 + i * 3));
  const std::string longest(SecretFile::kMaxKeyLength, 'k');
  const std::pair<std::string, std::string> cases[] = {
      {random, random}, {"abc\0def"s, "abc"}, {longest, longest}, {"", ""}, {"\0after nul"s, ""}};
  for (const auto& [content, key] : cases) {
    std::string cache;
    Write(content);
    EXPECT_EQ(SecretFile(path_, cache, guard_).Get(), key);
  }

  SecretFile file(path_, cache_, guard_);
  const auto refusal = [&] { return MessageOf([&] { file.Get(); }); };
  EXPECT_THAT(MessageOf([&] { file.GetNonEmpty(); }), HasSubstr("holds no key"));
  Write(longest + "k");
  EXPECT_THAT(refusal(), HasSubstr("is longer than 256 bytes"));
  std::filesystem::remove(path_);
  EXPECT_THAT(refusal(), HasSubstr("Cannot open signing secret file " + path_));
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_THAT(refusal(), HasSubstr("is not a regular file"));  // without blocking
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);
  EXPECT_THAT(refusal(), HasSubstr("is not a regular file"));
  EXPECT_TRUE(cache_.empty());

  std::filesystem::remove(path_);
  Write("first");
  const std::string& key = file.GetNonEmpty();
  EXPECT_EQ(key, "first");
  Write("second");
  EXPECT_EQ(&file.Get(), &key);
  EXPECT_EQ(file.Get(), "first");
}

// The start-up report: each unfit file named for what is wrong, a fit one not at all, the cache
// never touched.
TEST_F(SecretFileTest, ProblemsNameWhatIsUnfitWithoutLoadingTheKey) {
  const std::string fit(SecretFile::kAdvisedKeyLength, 'k');
  struct Case {
    std::string content;
    mode_t mode;
    std::vector<std::string> expected;  // a part of each problem, in order
  };
  const Case cases[] = {
      {fit, 0600, {}},
      {fit, 0400, {}},
      {"", 0600, {"holds no key"}},
      {"\0"s + fit, 0600, {"holds no key"}},
      {fit.substr(1), 0600, {"holds a key of 31 bytes; use 32 or more"}},
      {fit, 0644, {"is open to group or others (mode 0644); make it 0600"}},
      {"short", 0660, {"holds a key of 5 bytes", "(mode 0660)"}},
      {fit + std::string(SecretFile::kMaxKeyLength, 'k'), 0600, {"is longer than 256 bytes"}},
  };
  SecretFile file(path_, cache_, guard_);
  for (const auto& [content, mode, expected] : cases) {
    Write(content);
    ASSERT_EQ(chmod(path_.c_str(), mode), 0);
    const auto problems = file.Problems();
    ASSERT_EQ(problems.size(), expected.size()) << testing::PrintToString(problems);
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_THAT(problems[i], HasSubstr(expected[i]));
      EXPECT_THAT(problems[i], HasSubstr(path_));
    }
  }
  std::filesystem::remove(path_);
  EXPECT_THAT(file.Problems(),
              testing::ElementsAre(HasSubstr("Cannot open signing secret file " + path_)));
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  EXPECT_THAT(file.Problems(), testing::Contains(HasSubstr("Directory " + dir_ +
                                                           " of the signing secret can be written "
                                                           "by group or others (mode 0777)")));
  EXPECT_TRUE(cache_.empty());
}

// Another owner could change the key under the daemon; root may own it. CI runs as root.
TEST_F(SecretFileTest, ProblemsNameAnOwnerWhoCouldChangeTheKey) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the file away";
  Write(std::string(SecretFile::kAdvisedKeyLength, 'k'));
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  SecretFile file(path_, cache_, guard_);
  ASSERT_EQ(chown(path_.c_str(), 65534, static_cast<gid_t>(-1)), 0);
  EXPECT_THAT(file.Problems(),
              testing::ElementsAre(
                  HasSubstr("belongs to uid 65534, who can change the key; make root its owner")));
  ASSERT_EQ(chown(path_.c_str(), 0, static_cast<gid_t>(-1)), 0);
  EXPECT_THAT(file.Problems(), testing::IsEmpty());
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication
