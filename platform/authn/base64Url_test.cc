#include "platform/authn/base64Url.h"

#include <gtest/gtest.h>

namespace Nox::Authn {
namespace {

using namespace std::string_literals;

TEST(Base64UrlTest, EncodesWithTheUrlAlphabetAndNoPadding) {
  EXPECT_EQ(EncodeBase64Url(""), "");
  EXPECT_EQ(EncodeBase64Url("A"), "QQ");
  EXPECT_EQ(EncodeBase64Url("AB"), "QUI");
  EXPECT_EQ(EncodeBase64Url("ABC"), "QUJD");
  EXPECT_EQ(EncodeBase64Url("\xfb\xff"), "-_8");
}

TEST(Base64UrlTest, RoundTripsEveryLengthOfAWholeGroup) {
  std::string bytes;
  for (int i = 0; i < 10; ++i) {
    bytes.push_back(static_cast<char>(i * 37 + 200));
    const std::optional<std::string> decoded = DecodeBase64Url(EncodeBase64Url(bytes));
    ASSERT_TRUE(decoded.has_value()) << i;
    EXPECT_EQ(*decoded, bytes);
  }
  EXPECT_EQ(DecodeBase64Url("AAEC"), "\0\1\2"s);
}

TEST(Base64UrlTest, RefusesAnythingButTheOneCanonicalForm) {
  for (const char* text : {"QQ==", "QUI=", "+/8", "-_8 ", "Q", "QUJDQ", "QR", "QUJ", "Q\nQ"}) {
    EXPECT_FALSE(DecodeBase64Url(text).has_value()) << text;
  }
  EXPECT_FALSE(DecodeBase64Url("QU\0D"s).has_value());
}

}  // namespace
}  // namespace Nox::Authn
