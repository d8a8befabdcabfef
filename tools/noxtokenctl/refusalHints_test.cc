#include "tools/noxtokenctl/refusalHints.h"

#include <gtest/gtest.h>

#include "platform/basalt/crypto/base64.h"
#include "platform/orbi/json.h"
#include "tools/noxtokenctl/commandSuggestions.h"
#include "tools/noxtokenctl/session.h"
#include "tools/noxtokenctl/tokenCache.h"

namespace NoxCtl {
namespace {

// A JWT-shaped text with these claims; the signature is never read.
std::string TokenWith(const std::string& claims) {
  return "eyJhbGciOiJIUzI1NiJ9." +
         Basalt::Crypto::EncodeBase64(claims, Basalt::Crypto::Base64Alphabet::kUrl) + ".c2ln";
}

// The cached token's expiry, like the hints, is read from the claims without verifying them.
TEST(TokenCacheTest, ReadsOnlyANumericExpClaim) {
  EXPECT_EQ(ReadTokenExpiry(TokenWith(R"({"username":"root","exp":1765020000})")), 1765020000);
  for (const std::string& token :
       {TokenWith(R"({"exp":"1765020000"})"), TokenWith(R"({"username":"root"})"), TokenWith("[1]"),
        TokenWith("not json"), std::string("only.one"), std::string("a.%%%.c"), std::string()}) {
    EXPECT_EQ(ReadTokenExpiry(token), std::nullopt) << token;
  }
}

TEST(RefusalHintTest, OneHintFitsTheErrorAndTheCredential) {
  const std::string daemon = TokenWith(R"({"username":"root","exp":1})");
  const std::string external = TokenWith(R"({"iss":"https://idp","username":"ann"})");
  const SecurityCtx saml = {{"schemeId", "com.tessel.orbi.std.security.saml_hok_token"}};
  struct Case {
    const char* error;
    const char* operation;
    SecurityCtx credential;
    const char* hint;  // its beginning; "" for none
    bool pointsToLog;  // names the call's op id
    const char* service = "service";
  } cases[] = {
      {R"({"error_type":"INVALID_ARGUMENT"})", "verify", {}, "no credential was sent", false},
      {R"({"error_type":"NOT_FOUND"})", "get", TokenCtx(daemon), "", false},
      {R"({"error_type":"NOT_FOUND"})", "delete", TokenCtx(daemon),
       "a profile is named by its kind and subject", false,
       "com.tessel.nox.authentication.client_profiles"},
      {R"({"error_type":"ALREADY_EXISTS"})", "create", TokenCtx(daemon),
       "this subject already has a profile", false,
       "com.tessel.nox.authentication.client_profiles"},
      {R"({"error_type":"ALREADY_EXISTS"})", "create", TokenCtx(daemon), "", false},
      {R"({"error_type":"UNAUTHENTICATED"})", "create", UserPassCtx("a", "b"),
       "the user name or password was refused", false},
      {R"({"error_type":"UNAUTHENTICATED","messages":[{}]})", "verify", TokenCtx(daemon),
       "the daemon token from --token was refused", false},
      {R"({"error_type":"UNAUTHENTICATED","messages":[{}]})", "create", TokenCtx(external),
       "the external token from --token was refused: check", false},
      {R"({"error_type":"UNAUTHENTICATED"})", "create", TokenCtx(external),
       "the external token from --token was refused: check", true},
      {R"({"error_type":"UNAUTHENTICATED"})", "create", saml,
       "the SAML assertion or its proof was refused", true},
      {R"({"error_type":"UNAUTHORIZED"})", "create", TokenCtx(daemon),
       "a token of this daemon cannot obtain another one", false},
      {R"({"error_type":"UNAUTHORIZED"})", "list", TokenCtx(external),
       "an external issuer's token only obtains daemon tokens", false},
      {R"({"error_type":"UNAUTHORIZED"})", "list", TokenCtx(daemon),
       "managing profiles and issuers needs a daemon token", true},
  };
  for (const Case& c : cases) {
    json_error_t error;
    Orbi::Json::JsonPtr value(json_loads(c.error, 0, &error));
    const std::string hint =
        RefusalHint(*value, {c.service, c.operation, c.credential, "--token", "op-7"});
    EXPECT_TRUE(hint.starts_with(c.hint) && (hint.empty() == (*c.hint == '\0'))) << hint;
    EXPECT_EQ(hint.ends_with("under op id op-7"), c.pointsToLog) << hint;
  }
}

TEST(NearestTest, AWordWithinAThirdOfItsLengthInEdits) {
  const std::vector<std::string> words = {"profile", "issuer", "token", "--projection"};
  EXPECT_EQ(Nearest("profil", words), "profile");
  EXPECT_EQ(Nearest("isuser", words), "issuer");
  EXPECT_EQ(Nearest("--projecton", words), "--projection");
  EXPECT_EQ(Nearest("tok", words), "");
  EXPECT_EQ(Nearest("apply", words), "");
}

}  // namespace
}  // namespace NoxCtl
