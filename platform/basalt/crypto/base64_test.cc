#include "platform/basalt/crypto/base64.h"

#include <gtest/gtest.h>

#include "platform/basalt/exception.h"

namespace Basalt::StringUtil {
namespace {

std::string DecodeText(std::string_view text) {
  const std::vector<uint8_t> bytes = Base64Decode(text);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Base64Test, Rfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(Base64Encode(plain), encoded);
    EXPECT_EQ(DecodeText(encoded), plain);
  }
}

TEST(Base64Test, AllByteValuesRoundTrip) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  EXPECT_EQ(DecodeText(Base64Encode(bytes)), bytes);
}

TEST(Base64Test, SkipsWhitespaceBetweenCharacters) {
  EXPECT_EQ(DecodeText("  Zm9v\r\n\tYmFy \n"), "foobar");
  EXPECT_EQ(DecodeText("Zg==\n"), "f");
}

TEST(Base64Test, RefusesMalformedText) {
  for (const char* text : {"Zm9", "Zm9v!", "Z===", "=Zm9", "Zg==Zg==", "Zg=a", "Zm-v", "Zg="}) {
    EXPECT_THROW(Base64Decode(text), Exception) << text;
  }
}

}  // namespace
}  // namespace Basalt::StringUtil
