#include "apps/noxtokend/orbi/secret.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

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

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication
