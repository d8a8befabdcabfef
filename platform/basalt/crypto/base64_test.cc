#include "platform/basalt/crypto/base64.h"

#include <gtest/gtest.h>

namespace Basalt::Crypto {
namespace {

using namespace std::string_literals;
constexpr auto kStd = Base64Alphabet::kStandard;
constexpr auto kUrl = Base64Alphabet::kUrl;

struct Vector {
  std::string bytes;
  Base64Alphabet alphabet;
  const char* text;
};

TEST(Base64Test, EncodesAndDecodesBothAlphabets) {
  const Vector vectors[] = {
      {"", kStd, ""},
      {"f", kStd, "Zg=="},
      {"fo", kStd, "Zm8="},
      {"foo", kStd, "Zm9v"},
      {"foobar", kStd, "Zm9vYmFy"},
      {"\xfb\xff", kStd, "+/8="},
      {"", kUrl, ""},
      {"A", kUrl, "QQ"},
      {"AB", kUrl, "QUI"},
      {"ABC", kUrl, "QUJD"},
      {"\xfb\xff", kUrl, "-_8"},
      {"\0\1\2"s, kUrl, "AAEC"},
  };
  for (const auto& [bytes, alphabet, text] : vectors) {
    EXPECT_EQ(EncodeBase64(bytes, alphabet), text);
    EXPECT_EQ(DecodeBase64(text, alphabet), bytes) << text;
  }
  std::string every;
  for (int i = 0; i < 256; ++i) every += static_cast<char>(i);
  for (const Base64Alphabet alphabet : {kStd, kUrl}) {
    for (size_t length = 250; length <= every.size(); ++length) {
      const std::string bytes = every.substr(0, length);
      EXPECT_EQ(DecodeBase64(EncodeBase64(bytes, alphabet), alphabet), bytes) << length;
    }
  }
}

TEST(Base64Test, StandardSkipsWhiteSpaceBetweenCharacters) {
  EXPECT_EQ(DecodeBase64("  Zm9v\r\n\tYmFy \n", kStd), "foobar");
  EXPECT_EQ(DecodeBase64("Zm9vYmFy\nZm9v YmFy", kStd), "foobarfoobar");
  EXPECT_EQ(DecodeBase64("Zg==\n", kStd), "f");
}

TEST(Base64Test, RefusesTextOutsideTheAlphabetsRules) {
  const std::pair<std::string, Base64Alphabet> refused[] = {
      {"Zm9", kStd},          {"Zm9v!", kStd}, {"Z===", kStd},   {"=Zm9", kStd},
      {"Zg==Zg==", kStd},     {"Zg=a", kStd},  {"Zm-v", kStd},   {"Zg=", kStd},
      {"Zg===", kStd},        {"QQ==", kUrl},  {"QUI=", kUrl},   {"+/8", kUrl},
      {"-_8 ", kUrl},         {"Q", kUrl},     {"QUJDQ", kUrl},  {"QR", kUrl},
      {"QUJ", kUrl},          {"Q\nQ", kUrl},  {"QU\0D"s, kUrl}, {"Zm9vZg==Zg==", kStd},
      {"QUJDQUJD!AAA", kUrl},
  };
  for (const auto& [text, alphabet] : refused) {
    EXPECT_FALSE(DecodeBase64(text, alphabet).has_value()) << text;
  }
}

}  // namespace
}  // namespace Basalt::Crypto
