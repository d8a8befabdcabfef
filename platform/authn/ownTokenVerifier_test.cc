// Reading the daemon's own tokens: verified rule by rule, read unverified where a token is only
// described, and taken by the authentication handler.
#include "platform/authn/ownTokenVerifier.h"

#include <gtest/gtest.h>
#include <jwt.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <optional>
#include <thread>

#include "platform/authn/testing/signedClaims.h"
#include "platform/authn/tokenHandler.h"
#include "platform/authn/unverifiedClaims.h"
#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/exception.h"

namespace Nox::Authn {
namespace {

using namespace std::string_literals;

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";
constexpr int64_t kNow = 1'800'000'000;

// `more` continues the claims object after "exp".
std::string IssueToken(const std::string& username, int64_t exp, const std::string& more = "",
                       jwt_alg_t alg = JWT_ALG_HS256) {
  return Testing::SignClaims(
      R"({"username":")" + username + R"(","exp":)" + std::to_string(exp) + more + "}", kKey, alg);
}

std::string Url(std::string_view bytes) {
  return Basalt::Crypto::EncodeBase64(bytes, Basalt::Crypto::Base64Alphabet::kUrl);
}

std::string Sign(std::string_view input, std::string_view key) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, &length);
  return Url(std::string_view(reinterpret_cast<const char*>(mac), length));
}

// A correctly signed token around any header and payload bytes.
std::string Forge(std::string_view header, std::string_view payload, std::string_view key = kKey) {
  const std::string input = Url(header) + "." + Url(payload);
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
      ClaimsOf(IssueToken("alice", kNow + 1, R"(,"entitlement":["ADMINISTRATOR","READ_ONLY"])"));
  EXPECT_EQ(claims.username, "alice");
  EXPECT_EQ(claims.exp, kNow + 1);
  EXPECT_TRUE(claims.hasEntitlementClaim);
  EXPECT_EQ(claims.entitlements, (std::vector<std::string>{"ADMINISTRATOR", "READ_ONLY"}));
  EXPECT_TRUE(ClaimsOf(IssueToken("bob", kNow + 300, R"(,"entitlement":[])")).hasEntitlementClaim);
  EXPECT_FALSE(ClaimsOf(IssueToken("carol", kNow + 300)).hasEntitlementClaim);

  // Brackets inside strings are not nesting; the size bound leaves room for long claims.
  const std::string brackets = R"([[[[[[[[[[\"{{{{{{{{)";
  EXPECT_EQ(
      ClaimsOf(Forge(kHs256, R"({"username":")" + brackets + R"(","exp":1900000000})")).username,
      "[[[[[[[[[[\"{{{{{{{{");
  const std::string large = IssueToken(std::string(11000, 'u'), kNow + 300);
  ASSERT_LE(large.size(), kMaxOwnTokenLength);
  EXPECT_EQ(ClaimsOf(large).username.size(), 11000u);
}

// Signatures reuse a per-thread copy of the keyed state: it must never carry one key's state into
// another's signature, even for a key made where an earlier one lived.
TEST(OwnTokenTest, SignsUnderTheKeyItIsGivenOnEveryThread) {
  auto signed_ = [](const OwnTokenKey& key, std::string_view input) {
    unsigned char mac[32];
    EXPECT_TRUE(key.Sign(input, mac));
    return Url(std::string_view(reinterpret_cast<const char*>(mac), sizeof mac));
  };
  const OwnTokenKey first(kKey);
  std::optional<OwnTokenKey> second(std::in_place, "another key");
  for (const char* input : {"a.b", "a.b", "c.d"}) {
    SCOPED_TRACE(input);
    EXPECT_EQ(signed_(first, input), Sign(input, kKey));
    EXPECT_EQ(signed_(*second, input), Sign(input, "another key"));
  }
  EXPECT_EQ(signed_(*second, "a.b"), Sign("a.b", "another key"));
  second.emplace("a third key");  // same storage, new key
  EXPECT_EQ(signed_(*second, "a.b"), Sign("a.b", "a third key"));
  std::thread([&] { EXPECT_EQ(signed_(first, "a.b"), Sign("a.b", kKey)); }).join();
  unsigned char mac[32];
  EXPECT_FALSE(OwnTokenKey("").Sign("a.b", mac));
}

// One token per rule, each refused by that rule with its own error.
TEST(OwnTokenTest, EachRuleRefusesWithItsOwnError) {
  using enum OwnTokenError;
  const std::string token = IssueToken("alice", kNow + 300);
  const size_t firstDot = token.find('.'), secondDot = token.rfind('.');
  const std::string payload = R"({"username":"alice","exp":1900000000})";
  const std::string mallory = IssueToken("mallory", kNow + 300);
  std::string flippedSignature = token;
  // The signature's first character carries six whole bits, so the text stays canonical.
  flippedSignature[secondDot + 1] = token[secondDot + 1] == 'A' ? 'B' : 'A';
  const std::string deep = R"({"username":"alice","exp":1900000000,"x":)" + std::string(2000, '[') +
                           std::string(2000, ']') + "}";
  const struct {
    const char* rule;
    std::string token;
    OwnTokenError error;
    std::string_view key = kKey;
  } cases[] = {
      {"bound reached by the encoded claims", IssueToken(std::string(13000, 'u'), kNow + 300),
       TooLarge},
      {"at the bound, decoded", std::string(kMaxOwnTokenLength, '.'), Malformed},
      {"two parts", token.substr(0, secondDot), Malformed},
      {"four parts", token + ".", Malformed},
      {"empty payload", token.substr(0, firstDot + 1) + token.substr(secondDot), Malformed},
      {"header not JSON", Url("not json") + token.substr(firstDot), Malformed},
      {"header not an object", Url(R"(["HS256"])") + token.substr(firstDot), Malformed},
      {"critical header", Forge(R"({"alg":"HS256","crit":["b64"],"b64":false})", payload),
       Malformed},
      {"alg none", IssueToken("alice", kNow + 300, "", JWT_ALG_NONE), UnsupportedAlgorithm},
      {"alg missing", Forge(R"({"typ":"JWT"})", payload), UnsupportedAlgorithm},
      {"alg in lower case", Forge(R"({"alg":"hs256"})", payload), UnsupportedAlgorithm},
      {"another payload",
       token.substr(0, firstDot) +
           mallory.substr(mallory.find('.'), mallory.rfind('.') - mallory.find('.')) +
           token.substr(secondDot),
       BadSignature},
      {"flipped signature", flippedSignature, BadSignature},
      {"another key", token, BadSignature, "another key"},
      {"empty key", Forge(kHs256, payload, ""), BadSignature, ""},
      {"empty signature", token.substr(0, secondDot + 1), BadSignature},
      {"expiry this second", IssueToken("alice", kNow), Expired},
      {"no username", Forge(kHs256, R"({"exp":1900000000})"), MissingClaim},
      {"empty username", Forge(kHs256, R"({"username":"","exp":1900000000})"), MissingClaim},
      {"no exp", Forge(kHs256, R"({"username":"alice"})"), MissingClaim},
      {"username not a string", Forge(kHs256, R"({"username":7,"exp":1900000000})"), Malformed},
      {"exp a fraction", Forge(kHs256, R"({"username":"alice","exp":1.9e9})"), Malformed},
      {"entitlement not an array",
       Forge(kHs256, R"({"username":"alice","exp":1900000000,"entitlement":"ADMINISTRATOR"})"),
       Malformed},
      {"entitlement not strings",
       Forge(kHs256, R"({"username":"alice","exp":1900000000,"entitlement":["READ_ONLY",0]})"),
       Malformed},
      {"claim twice", Forge(kHs256, R"({"username":"alice","username":"root","exp":1900000000})"),
       Malformed},
      {"NUL in a claim", Forge(kHs256, R"({"username":"al\u0000ice","exp":1900000000})"),
       Malformed},
      {"text after the payload", Forge(kHs256, payload + " trailing"), Malformed},
      {"payload not UTF-8", Forge(kHs256, "{\"username\":\"al\xff\xfeice\",\"exp\":1900000000}"),
       Malformed},
      {"nesting too deep", Forge(kHs256, deep), Malformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    EXPECT_EQ(ErrorOf(c.token, c.key), c.error);
  }
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
    auto claims = ReadUnverifiedClaims("h." + Url(payload) + ".s");
    if (!username) {
      EXPECT_EQ(claims, nullptr) << payload;
      continue;
    }
    ASSERT_NE(claims, nullptr) << payload;
    EXPECT_STREQ(json_string_value(json_object_get(claims.get(), "username")), username);
  }
}

class RecordingLogger : public Orbi::Core::Logger {
 public:
  bool IsEnabled(int) const override { return true; }
  void Log(int, const std::string& text) const override { lines.push_back(text); }
  mutable std::vector<std::string> lines;
};

Orbi::Data::ValuePtr Authenticate(TokenHandler& handler, Orbi::Core::StringMap security) {
  auto context = std::make_shared<Orbi::Core::ExecutionContext>();
  context->securityCtx = std::move(security);
  Orbi::Data::ValuePtr answer = Orbi::Data::VoidValue::Get();
  handler.AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) { answer = value; });
  EXPECT_NE(answer, Orbi::Data::VoidValue::Get()) << "the handler did not answer";
  return answer;
}

std::shared_ptr<const Orbi::L10n::Localizer> Localizer() {
  return std::make_shared<const Orbi::L10n::Localizer>(
      std::vector<std::string>{"en_US"}, [](const std::string& id) { return "text of " + id; });
}

// The one message of a refusal: its id, and the text the localizer made of it.
std::string RefusalMessage(const Orbi::Data::ValuePtr& answer) {
  auto error = Orbi::Data::As<Orbi::Data::ErrorValue>(answer);
  if (!error) return "not an error";
  EXPECT_EQ(error->GetErrorKind(), "unauthenticated");
  auto messages = Orbi::Data::As<Orbi::Data::ListValue>(error->GetField("messages"));
  if (!messages || messages->GetItems().size() != 1) return "not one message";
  auto message = Orbi::Data::As<Orbi::Data::StructValue>(messages->GetItems()[0]);
  std::string id = *message->GetString("id");
  EXPECT_EQ(*message->GetString("localized"), "text of " + id);
  return id;
}

Orbi::Core::StringMap OAuth(const std::string& token) {
  return {{"schemeId", "com.tessel.orbi.std.security.oauth"}, {"accessToken", token}};
}

TEST(TokenHandlerTest, AcceptsOwnTokensWithTheirEntitlementsAndRefusesBadOnes) {
  auto logger = std::make_shared<RecordingLogger>();
  std::string secret = kKey;
  int64_t now = kNow;
  TokenHandler handler(
      logger, Localizer(), [&]() -> const std::string& { return secret; }, [&] { return now; });
  const std::string token = IssueToken("root", kNow + 300, R"(,"entitlement":["ADMINISTRATOR"])");
  auto result = Orbi::Data::As<Orbi::Data::StructValue>(Authenticate(handler, OAuth(token)));
  ASSERT_TRUE(result);
  EXPECT_EQ(*result->GetString("username"), "root");
  EXPECT_EQ(*result->GetString("accessToken"), token);
  EXPECT_FALSE(result->HasField("issuerAlias"));
  EXPECT_EQ(result->GetField(TokenHandler::ENTITLEMENTS_GRANTS)->ToString(),
            R"(["ADMINISTRATOR"])");
  // Presented again, the token gives the very data built the first time.
  EXPECT_EQ(static_cast<const void*>(Authenticate(handler, OAuth(token)).get()), result.get());
  auto noClaim = Orbi::Data::As<Orbi::Data::StructValue>(
      Authenticate(handler, OAuth(IssueToken("u", kNow + 300))));
  EXPECT_EQ(noClaim->GetField(TokenHandler::ENTITLEMENTS_GRANTS)->ToString(), "[]");

  std::string tampered = token;
  tampered[tampered.size() - 2] = tampered[tampered.size() - 2] == 'A' ? 'B' : 'A';
  const std::string invalid = TokenHandler::kInvalidTokenMessage;
  for (const auto& [bad, message] : std::vector<std::pair<std::string, std::string>>{
           {IssueToken("root", kNow), TokenHandler::kTokenExpiredMessage},
           {tampered, invalid},
           {IssueToken("root", kNow + 300, "", JWT_ALG_NONE), invalid},
           {"garbage", invalid}}) {
    EXPECT_EQ(RefusalMessage(Authenticate(handler, OAuth(bad))), message) << bad;
  }
  EXPECT_EQ(logger->lines.size(), 4u);
  // Other schemes, and a bearer scheme without a token, are left to other handlers.
  EXPECT_EQ(Authenticate(handler, {{"schemeId", "com.tessel.orbi.std.security.user_pass"},
                                   {"accessToken", token}}),
            nullptr);
  EXPECT_EQ(Authenticate(handler, {{"schemeId", "com.tessel.orbi.std.security.oauth"}}), nullptr);

  // A token verified before is refused all the same once it expires.
  now = kNow + 300;
  EXPECT_EQ(RefusalMessage(Authenticate(handler, OAuth(token))),
            TokenHandler::kTokenExpiredMessage);
  now = kNow;

  // The prepared key follows a changed secret: the old secret's tokens stop verifying.
  secret = "another secret of thirty-two byt";
  EXPECT_EQ(RefusalMessage(Authenticate(handler, OAuth(token))), invalid);
  TokenHandler keyless(logger, Localizer(),
                       []() -> const std::string& { throw Basalt::Exception("gone"); });
  EXPECT_EQ(RefusalMessage(Authenticate(keyless, OAuth(token))), invalid);
}

}  // namespace
}  // namespace Nox::Authn
