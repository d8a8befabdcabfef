#include "apps/noxtokend/orbi/secret.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/basalt/exception.h"

namespace Com::Tessel::Nox::Authentication {
namespace {

using namespace std::string_literals;
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

  std::string ErrorOf(SecretFile& file) {
    try {
      file.Get();
    } catch (const Basalt::Exception& e) {
      return e.GetMessage();
    }
    return "(no exception)";
  }

  std::string dir_;
  std::string path_;
  std::string cache_;
  std::mutex guard_;
};

TEST_F(SecretFileTest, KeyIsTheFileUpToTheFirstNul) {
  std::string random;
  for (int i = 0; i < 32; ++i) random.push_back(static_cast<char>(0x80 + i * 3));
  Write(random);
  SecretFile file(path_, cache_, guard_);
  EXPECT_EQ(file.Get(), random);

  std::string otherCache;
  Write("abc\0def"s);
  EXPECT_EQ(SecretFile(path_, otherCache, guard_).Get(), "abc");
}

TEST_F(SecretFileTest, AFileOverTheLimitIsRefusedAndReadAgainLater) {
  Write(std::string(SecretFile::kMaxKeyLength + 1, 'k'));
  SecretFile file(path_, cache_, guard_);
  EXPECT_THAT(ErrorOf(file), HasSubstr("is longer than 256 bytes"));
  EXPECT_TRUE(cache_.empty());

  const std::string key(SecretFile::kMaxKeyLength, 'k');
  Write(key);
  EXPECT_EQ(file.Get(), key);
}

TEST_F(SecretFileTest, AnythingButARegularFileIsRefusedWithoutBlocking) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  SecretFile file(path_, cache_, guard_);
  EXPECT_THAT(ErrorOf(file), HasSubstr("is not a regular file"));
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);
  EXPECT_THAT(ErrorOf(file), HasSubstr("is not a regular file"));
  EXPECT_TRUE(cache_.empty());
}

TEST_F(SecretFileTest, AMissingFileRaisesUntilItAppears) {
  SecretFile file(path_, cache_, guard_);
  const std::string error = ErrorOf(file);
  EXPECT_THAT(error, HasSubstr("Cannot open signing secret file " + path_));
  EXPECT_THAT(error, HasSubstr("No such file"));

  Write("now here");
  EXPECT_EQ(file.Get(), "now here");
}

TEST_F(SecretFileTest, AnEmptyKeyIsReadAgainOnEveryCall) {
  SecretFile file(path_, cache_, guard_);
  for (const std::string& content : {""s, "\0after nul"s}) {
    Write(content);
    EXPECT_EQ(file.Get(), "");
    try {
      file.GetNonEmpty();
      ADD_FAILURE() << "GetNonEmpty accepted an empty key";
    } catch (const Basalt::Exception& e) {
      EXPECT_THAT(e.GetMessage(), HasSubstr("holds no key"));
    }
  }
  Write("late key");
  EXPECT_EQ(file.GetNonEmpty(), "late key");
}

TEST_F(SecretFileTest, TheFirstKeyIsKeptWhateverHappensToTheFile) {
  Write("first");
  SecretFile file(path_, cache_, guard_);
  const std::string& key = file.Get();
  Write("second");
  EXPECT_EQ(file.Get(), "first");
  std::filesystem::remove(path_);
  EXPECT_EQ(file.Get(), "first");
  EXPECT_EQ(&file.Get(), &key);
}

TEST(SecretTest, ProcessKeyComesFromTheHostRoot) {
  char pattern[] = "/tmp/secret_root.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  ASSERT_EQ(setenv("TESSEL_ROOT", root.c_str(), 1), 0);

  EXPECT_THROW(Secret::GetNonEmpty(), Basalt::Exception);
  std::filesystem::create_directories(root + "/var/run/tessel");
  { std::ofstream(root + "/var/run/tessel/tokend-secret", std::ios::binary) << "process key"; }
  EXPECT_EQ(Secret::GetNonEmpty(), "process key");
  std::filesystem::remove_all(root + "/var/run");
  EXPECT_EQ(Secret::Get(), "process key");

  unsetenv("TESSEL_ROOT");
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication
