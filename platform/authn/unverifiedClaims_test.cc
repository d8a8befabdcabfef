#include "platform/authn/unverifiedClaims.h"

#include <gtest/gtest.h>

#include "platform/basalt/crypto/base64.h"

namespace Nox::Authn {
namespace {

std::string TokenWith(const std::string& payload) {
  return "h." + Basalt::Crypto::EncodeBase64(payload, Basalt::Crypto::Base64Alphabet::kUrl) + ".s";
}

// Plain claims take the quick reader, the rest Jansson: either way the claims Jansson reads.
TEST(UnverifiedClaimsTest, ReadsWhatJanssonReads) {
  const std::pair<std::string, const char*> cases[] = {
      {R"({"username":"ann","exp":5})", "ann"},
      {R"({"username":"x","username":"ann"})", "ann"},  // a duplicate: Jansson keeps the last
      {R"({"username":"a\u006en"})", "ann"},
      {std::string(20, '[') + std::string(20, ']'), nullptr},
      {R"("ann")", nullptr},
      {R"({"username":)", nullptr},
  };
  for (const auto& [payload, username] : cases) {
    auto claims = ReadUnverifiedClaims(TokenWith(payload));
    if (!username) {
      EXPECT_EQ(claims, nullptr) << payload;
      continue;
    }
    ASSERT_NE(claims, nullptr) << payload;
    EXPECT_STREQ(json_string_value(json_object_get(claims.get(), "username")), username);
  }
}

}  // namespace
}  // namespace Nox::Authn
