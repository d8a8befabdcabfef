#include "platform/authn/ownTokenWriter.h"

#include <gtest/gtest.h>
#include <jansson.h>
#include <jwt.h>

#include "platform/authn/jwtHandle.h"
#include "platform/basalt/jsonHandle.h"

namespace Nox::Authn {
namespace {

constexpr std::string_view kKey = "0123456789abcdef0123456789abcdef";

// The token as libjwt writes it for the same claims.
std::string WrittenByLibjwt(const OwnTokenClaims& claims) {
  jwt_t* raw = nullptr;
  EXPECT_EQ(jwt_new(&raw), 0);
  JwtPtr token(raw);
  jwt_add_grant(token.get(), "username", claims.username.c_str());
  jwt_add_grant_int(token.get(), "exp", claims.exp);
  if (claims.hasEntitlementClaim) {
    Basalt::Json::JsonPtr names(json_array());
    for (const auto& name : claims.entitlements) {
      json_array_append_new(names.get(), json_stringn(name.data(), name.size()));
    }
    Basalt::Json::JsonPtr grants(json_pack("{sO}", "entitlement", names.get()));
    Basalt::Json::JsonText text(json_dumps(grants.get(), JSON_COMPACT));
    EXPECT_EQ(jwt_add_grants_json(token.get(), text.get()), 0);
  }
  jwt_set_alg(token.get(), JWT_ALG_HS256, reinterpret_cast<const unsigned char*>(kKey.data()),
              static_cast<int>(kKey.size()));
  JwtText text(jwt_encode_str(token.get()));
  return text ? std::string(text.get()) : std::string();
}

TEST(OwnTokenWriterTest, WritesWhatLibjwtWrites) {
  const OwnTokenKey key(kKey);
  const std::vector<std::string> names = {
      "alice",
      "",
      "o\"b\\r/i",
      std::string("tab\there\nnul\0after", 19),
      "\x01\x1f\x7f",
      "<a&b>",
      "caf\xc3\xa9 \xf0\x9f\x94\x91",
      "bad\xc3",  // the last is not UTF-8: no "username"
      "\xed\xa0\x80",
      "\xc0\xaf"};  // a surrogate and an overlong form, likewise
  const std::vector<std::pair<bool, std::vector<std::string>>> entitlements = {
      {false, {}}, {true, {}}, {true, {"ADMINISTRATOR", "OPERATOR", "READ_ONLY"}}};
  for (const auto& name : names) {
    for (const auto& [claim, granted] : entitlements) {
      for (int64_t exp : {int64_t{0}, int64_t{1'700'000'300}, int64_t{9'999'999'999}}) {
        OwnTokenClaims claims{name, exp, granted, claim};
        auto written = WriteOwnToken(claims, key);
        ASSERT_TRUE(written);
        EXPECT_EQ(*written, WrittenByLibjwt(claims)) << name << " " << claim << " " << exp;
      }
    }
  }
  EXPECT_FALSE(WriteOwnToken({"a", 1, {}, false}, OwnTokenKey("")));
}

}  // namespace
}  // namespace Nox::Authn
