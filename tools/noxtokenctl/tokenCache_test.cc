#include "tools/noxtokenctl/tokenCache.h"

#include <gtest/gtest.h>

#include "platform/basalt/crypto/base64.h"

namespace NoxCtl {
namespace {

std::string TokenWithPayload(const std::string& payload) {
  return Basalt::Crypto::EncodeBase64(R"({"alg":"HS256"})", Basalt::Crypto::Base64Alphabet::kUrl) +
         "." + Basalt::Crypto::EncodeBase64(payload, Basalt::Crypto::Base64Alphabet::kUrl) +
         ".c2ln";
}

TEST(TokenCacheTest, ReadsTheExpClaim) {
  EXPECT_EQ(ReadTokenExpiry(TokenWithPayload(R"({"username":"root","exp":1765020000})")),
            1765020000);
}

TEST(TokenCacheTest, NoExpiryWithoutANumericExpClaim) {
  for (const std::string& token :
       {TokenWithPayload(R"({"exp":"1765020000"})"), TokenWithPayload(R"({"username":"root"})"),
        TokenWithPayload("[1]"), TokenWithPayload("not json"), std::string("only.one"),
        std::string("a.%%%.c"), std::string()}) {
    EXPECT_EQ(ReadTokenExpiry(token), std::nullopt) << token;
  }
}

}  // namespace
}  // namespace NoxCtl
