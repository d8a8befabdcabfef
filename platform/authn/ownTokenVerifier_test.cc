#include "platform/authn/ownTokenVerifier.h"

#include <gtest/gtest.h>
#include <jwt.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <memory>

#include "platform/authn/jwtHandle.h"
#include "platform/basalt/crypto/base64.h"

namespace Nox::Authn {
namespace {

using namespace std::string_literals;

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";
constexpr int64_t kNow = 1'800'000'000;

// Made with the same libjwt calls as token creation.
std::string IssueToken(const std::string& username, int64_t exp, const char* grantsJson = nullptr,
                       jwt_alg_t alg = JWT_ALG_HS256, std::string_view key = kKey) {
  jwt_t* raw = nullptr;
  EXPECT_EQ(jwt_new(&raw), 0);
  JwtPtr jwt(raw);
  EXPECT_EQ(jwt_add_grant(jwt.get(), "username", username.c_str()), 0);
  EXPECT_EQ(jwt_add_grant_int(jwt.get(), "exp", exp), 0);
  if (grantsJson != nullptr) {
    EXPECT_EQ(jwt_add_grants_json(jwt.get(), grantsJson), 0);
  }
  const bool none = alg == JWT_ALG_NONE;
  EXPECT_EQ(jwt_set_alg(jwt.get(), alg,
                        none ? nullptr : reinterpret_cast<const unsigned char*>(key.data()),
                        none ? 0 : static_cast<int>(key.size())),
            0);
  char* encoded = jwt_encode_str(jwt.get());
  EXPECT_NE(encoded, nullptr);
  std::string token = encoded != nullptr ? encoded : "";
  std::free(encoded);
  return token;
}

std::string Sign(std::string_view input, std::string_view key) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, &length);
  return Basalt::Crypto::EncodeBase64(std::string_view(reinterpret_cast<const char*>(mac), length),
                                      Basalt::Crypto::Base64Alphabet::kUrl);
}

// A correctly signed token around any header and payload bytes.
std::string Forge(std::string_view header, std::string_view payload, std::string_view key = kKey) {
  const std::string input =
      Basalt::Crypto::EncodeBase64(header, Basalt::Crypto::Base64Alphabet::kUrl) + "." +
      Basalt::Crypto::EncodeBase64(payload, Basalt::Crypto::Base64Alphabet::kUrl);
  return input + "." + Sign(input, key);
}

constexpr char kHs256[] = R"({"alg":"HS256","typ":"JWT"})";

OwnTokenError ErrorOf(std::string_view token, std::string_view key = kKey) {
  auto result = VerifyOwnToken(token, key, kNow);
  if (!result) return result.error();
  ADD_FAILURE() << "token was accepted: " << token;
  return OwnTokenError::Malformed;
}

OwnTokenClaims ClaimsOf(std::string_view token, int64_t now = kNow) {
  auto result = VerifyOwnToken(token, kKey, now);
  if (result) return *result;
  ADD_FAILURE() << "refused: " << Describe(result.error());
  return {};
}

TEST(OwnTokenTest, AcceptsTokensAsTokenCreationMakesThem) {
  OwnTokenClaims claims =
      ClaimsOf(IssueToken("alice", kNow + 300, R"({"entitlement":["ADMINISTRATOR","READ_ONLY"]})"));
  EXPECT_EQ(claims.username, "alice");
  EXPECT_EQ(claims.exp, kNow + 300);
  EXPECT_TRUE(claims.hasEntitlementClaim);
  EXPECT_EQ(claims.entitlements, (std::vector<std::string>{"ADMINISTRATOR", "READ_ONLY"}));

  OwnTokenClaims empty = ClaimsOf(IssueToken("bob", kNow + 300, R"({"entitlement":[]})"));
  EXPECT_TRUE(empty.hasEntitlementClaim);
  EXPECT_TRUE(empty.entitlements.empty());

  OwnTokenClaims without = ClaimsOf(IssueToken("carol", kNow + 300));
  EXPECT_EQ(without.username, "carol");
  EXPECT_FALSE(without.hasEntitlementClaim);
}

TEST(OwnTokenTest, RefusedFromTheSecondOfExpiryOn) {
  EXPECT_EQ(ClaimsOf(IssueToken("alice", kNow + 1)).username, "alice");
  EXPECT_EQ(ErrorOf(IssueToken("alice", kNow)), OwnTokenError::Expired);
  EXPECT_EQ(ErrorOf(IssueToken("alice", kNow - 1)), OwnTokenError::Expired);
  EXPECT_EQ(ErrorOf(IssueToken("alice", INT64_MIN)), OwnTokenError::Expired);
}

TEST(OwnTokenTest, TamperingBreaksTheSignature) {
  const std::string token = IssueToken("alice", kNow + 300);
  const size_t firstDot = token.find('.');
  const size_t secondDot = token.rfind('.');

  std::string otherPayload = IssueToken("mallory", kNow + 300);
  otherPayload =
      otherPayload.substr(otherPayload.find('.'), otherPayload.rfind('.') - otherPayload.find('.'));
  EXPECT_EQ(ErrorOf(token.substr(0, firstDot) + otherPayload + token.substr(secondDot)),
            OwnTokenError::BadSignature);

  // The first character of the signature carries six whole bits, so the text stays canonical.
  std::string badSignature = token;
  char& first = badSignature[secondDot + 1];
  first = first == 'A' ? 'B' : 'A';
  EXPECT_EQ(badSignature.size(), token.size());
  EXPECT_EQ(ErrorOf(badSignature), OwnTokenError::BadSignature);

  EXPECT_EQ(ErrorOf(token, "another key"), OwnTokenError::BadSignature);
  EXPECT_EQ(ErrorOf(token.substr(0, secondDot + 1)), OwnTokenError::BadSignature);
  EXPECT_EQ(ErrorOf(token.substr(0, token.size() - 3)), OwnTokenError::BadSignature);
}

TEST(OwnTokenTest, AnEmptyKeyNeverVerifies) {
  const std::string token = Forge(kHs256, R"({"username":"alice","exp":1900000000})", "");
  EXPECT_EQ(ErrorOf(token, ""), OwnTokenError::BadSignature);
}

TEST(OwnTokenTest, OnlyHs256IsAccepted) {
  const std::string payload = R"({"username":"alice","exp":1900000000})";
  const std::string none = IssueToken("alice", kNow + 300, nullptr, JWT_ALG_NONE);
  EXPECT_EQ(none.back(), '.');
  EXPECT_EQ(ErrorOf(none), OwnTokenError::UnsupportedAlgorithm);
  EXPECT_EQ(ErrorOf(IssueToken("alice", kNow + 300, nullptr, JWT_ALG_HS512)),
            OwnTokenError::UnsupportedAlgorithm);
  const std::string rs256 =
      Basalt::Crypto::EncodeBase64(R"({"alg":"RS256"})", Basalt::Crypto::Base64Alphabet::kUrl) +
      "." + Basalt::Crypto::EncodeBase64(payload, Basalt::Crypto::Base64Alphabet::kUrl) + "." +
      Basalt::Crypto::EncodeBase64(std::string(256, 'x'), Basalt::Crypto::Base64Alphabet::kUrl);
  EXPECT_EQ(ErrorOf(rs256), OwnTokenError::UnsupportedAlgorithm);
  for (const char* header : {R"({"typ":"JWT"})", R"({"alg":"hs256"})", R"({"alg":"HS256 "})",
                             R"({"alg":256})", R"({"alg":["HS256"]})", R"({"alg":null})"}) {
    EXPECT_EQ(ErrorOf(Forge(header, payload)), OwnTokenError::UnsupportedAlgorithm) << header;
  }
  EXPECT_EQ(ErrorOf(Forge(R"({"alg":"HS256","crit":["b64"],"b64":false})", payload)),
            OwnTokenError::Malformed);
}

TEST(OwnTokenTest, ClaimsMustBePresentWithTheirTypes) {
  EXPECT_EQ(ErrorOf(Forge(kHs256, R"({"exp":1900000000})")), OwnTokenError::MissingClaim);
  EXPECT_EQ(ErrorOf(Forge(kHs256, R"({"username":"alice"})")), OwnTokenError::MissingClaim);
  EXPECT_EQ(ErrorOf(Forge(kHs256, "{}")), OwnTokenError::MissingClaim);
  EXPECT_EQ(ErrorOf(Forge(kHs256, R"({"username":"","exp":1900000000})")),
            OwnTokenError::MissingClaim);
  for (const char* payload : {
           R"({"username":7,"exp":1900000000})",
           R"({"username":"alice","exp":"1900000000"})",
           R"({"username":"alice","exp":1.9e9})",
           R"({"username":"alice","exp":1900000000,"entitlement":"ADMINISTRATOR"})",
           R"({"username":"alice","exp":1900000000,"entitlement":{"a":1}})",
           R"({"username":"alice","exp":1900000000,"entitlement":["READ_ONLY",0]})",
           R"({"username":"alice","exp":1900000000,"entitlement":null})",
           R"({"username":"alice","username":"root","exp":1900000000})",
           R"({"username":"al\u0000ice","exp":1900000000})",
           R"(["username","alice"])",
           R"({"username":"alice","exp":1900000000} trailing)",
       }) {
    EXPECT_EQ(ErrorOf(Forge(kHs256, payload)), OwnTokenError::Malformed) << payload;
  }
}

TEST(OwnTokenTest, RefusesBadEncodingsAndShapes) {
  const std::string token = IssueToken("alice", kNow + 300);
  const size_t firstDot = token.find('.');
  for (const std::string& bad : {
           ""s,
           "."s,
           ".."s,
           token.substr(0, token.rfind('.')),
           token + ".",
           token + "=",
           "+" + token.substr(1),
           token.substr(0, firstDot) + "=" + token.substr(firstDot),
           "." + token.substr(firstDot + 1),
           token.substr(0, firstDot + 1) + token.substr(token.rfind('.')),
           Basalt::Crypto::EncodeBase64("not json", Basalt::Crypto::Base64Alphabet::kUrl) +
               token.substr(firstDot),
           Basalt::Crypto::EncodeBase64(R"(["HS256"])", Basalt::Crypto::Base64Alphabet::kUrl) +
               token.substr(firstDot),
       }) {
    EXPECT_EQ(ErrorOf(bad), OwnTokenError::Malformed) << bad;
  }
}

TEST(OwnTokenTest, RefusesNonUtf8AndDeepJson) {
  EXPECT_EQ(ErrorOf(Forge(kHs256, "{\"username\":\"al\xff\xfeice\",\"exp\":1900000000}")),
            OwnTokenError::Malformed);
  EXPECT_EQ(ErrorOf(Forge("{\"alg\":\"HS256\",\"x\":\"\xc3\x28\"}", "{}")),
            OwnTokenError::Malformed);
  const std::string deep = R"({"username":"alice","exp":1900000000,"x":)" + std::string(2000, '[') +
                           std::string(2000, ']') + "}";
  EXPECT_EQ(ErrorOf(Forge(kHs256, deep)), OwnTokenError::Malformed);
  // Brackets inside strings are not nesting.
  EXPECT_EQ(
      ClaimsOf(Forge(kHs256, R"({"username":"[[[[[[[[[[\"{{{{{{{{","exp":1900000000})")).username,
      "[[[[[[[[[[\"{{{{{{{{");
}

TEST(OwnTokenTest, SizeIsBoundedBeforeAnyDecoding) {
  const std::string large = IssueToken(std::string(11000, 'u'), kNow + 300);
  ASSERT_LE(large.size(), kMaxOwnTokenLength);
  EXPECT_EQ(ClaimsOf(large).username.size(), 11000u);

  EXPECT_EQ(ErrorOf(IssueToken(std::string(13000, 'u'), kNow + 300)), OwnTokenError::TooLarge);
  EXPECT_EQ(ErrorOf(std::string(kMaxOwnTokenLength + 1, '.')), OwnTokenError::TooLarge);
  EXPECT_EQ(ErrorOf(std::string(kMaxOwnTokenLength, '.')), OwnTokenError::Malformed);
}

}  // namespace
}  // namespace Nox::Authn
