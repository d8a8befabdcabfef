#include "apps/noxtokend/orbi/externalSts/externalJwtHandler.h"

#include <gtest/gtest.h>
#include <jwt.h>

#include <functional>
#include <map>
#include <mutex>

#include "apps/noxtokend/orbi/externalSts/externalTokenPolicy.h"
#include "apps/noxtokend/orbi/externalSts/verifiedTokenCache.h"
#include "apps/noxtokend/orbi/messageTable.h"
#include "platform/authn/authnData.h"
#include "platform/authn/jwtHandle.h"
#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/jsonHandle.h"
#include "platform/basalt/xml/testing/xmlsecSigner.h"
#include "platform/configstore/configStoreTestRoot.h"
#include "platform/orbi/json.h"

namespace Nox::Authn {
namespace {

using Basalt::Xml::Testing::KeyType;
using Basalt::Xml::Testing::ReadTextFile;
using Basalt::Xml::Testing::TestKey;
namespace Issuers = Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc;

constexpr int64_t kNow = 1'700'000'000;
constexpr const char* kIssuer = "https://idp.example";
const std::string kInvalidSignature =
    "com.tessel.nox.authentication.external_token_invalid_signature";
const std::string kExpired = "com.tessel.nox.authentication.token_expired";
const std::string kInvalid = "com.tessel.nox.authentication.invalid_token";

// Made once for the suite: key generation is the slow part.
const TestKey& Key(const std::string& name) {
  static const Basalt::Xml::Testing::TempDir dir;
  static const std::map<std::string, TestKey> keys = {
      {"unrelated", GenerateKey(dir, "unrelated", KeyType::kRsa2048)},
      {"rsa", GenerateKey(dir, "rsa", KeyType::kRsa2048)},
      {"stranger", GenerateKey(dir, "stranger", KeyType::kRsa2048)},  // registered nowhere
      {"p256", GenerateKey(dir, "p256", KeyType::kEcP256)}};
  return keys.at(name);
}

std::string Sign(const std::string& claims, jwt_alg_t alg, const std::string& key,
                 const std::string& extraHeaders = "") {
  jwt_t* raw = nullptr;
  jwt_new(&raw);
  JwtPtr token(raw);
  jwt_add_grants_json(token.get(), claims.c_str());
  if (!extraHeaders.empty()) jwt_add_headers_json(token.get(), extraHeaders.c_str());
  jwt_set_alg(token.get(), alg, reinterpret_cast<const unsigned char*>(key.data()),
              static_cast<int>(key.size()));
  JwtText text(jwt_encode_str(token.get()));
  return text ? std::string(text.get()) : std::string();
}
std::string SignRsa(const std::string& claims) {
  return Sign(claims, JWT_ALG_RS256, ReadTextFile(Key("rsa").keyPem));
}

// A token put together by hand, for headers libjwt will not write.
std::string Compose(const std::string& header, const std::string& claims,
                    const std::string& signature = "sig") {
  return Basalt::Crypto::EncodeBase64(header, Basalt::Crypto::Base64Alphabet::kUrl) + "." +
         Basalt::Crypto::EncodeBase64(claims, Basalt::Crypto::Base64Alphabet::kUrl) + "." +
         Basalt::Crypto::EncodeBase64(signature, Basalt::Crypto::Base64Alphabet::kUrl);
}

std::string Claims(const std::string& exp, const std::string& more = "") {
  return std::string(R"({"iss":")") + kIssuer + R"(","exp":)" + exp +
         R"(,"username":"ann","domain":"corp")" + more + "}";
}
std::string Claims(int64_t exp = kNow, const std::string& more = "") {
  return Claims(std::to_string(exp), more);
}

class ExternalJwtHandlerTest : public ::testing::Test {
 protected:
  // The keys' directory names itself TESSEL_ROOT: made before any test's own root.
  static void SetUpTestSuite() { Key("rsa"); }
  void SetUp() override {
    container_ = std::make_shared<Issuers::CertificateChainsContainer>(
        NoxConfigStore::ConfigStore::Open(root_.StoreOptions()));
    Register("idp-0", kIssuer, {Key("unrelated").certPemText, Key("rsa").certPemText});
    Register("idp-1", "p256-issuer", {Key("p256").certPemText});
    handler_ = MakeHandler();
  }

  std::unique_ptr<ExternalJwtHandler> MakeHandler(ExternalTokenPolicy policy = {}) {
    auto logger = Basalt::Service::Logger::CreateRoot("External JWT Handler", 7, [this](auto& r) {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::to_string(r.level) + " " + std::string(r.text));
    });
    return std::make_unique<ExternalJwtHandler>(
        logger, container_, Com::Tessel::Nox::Authentication::CreateLocalizer(),
        [this] { return now_ * 1000000 + 999999; }, nullptr, std::move(policy));
  }

  void Register(const std::string& alias, const std::string& issuer,
                const std::vector<std::string>& chain) {
    Basalt::System::ScopedWriteLock lock(*container_);
    ASSERT_TRUE(container_->CreateIssuer(
        alias, issuer, {std::make_shared<Issuers::X509CertChain>(Issuers::X509CertChain{chain})}));
  }

  Orbi::Data::ValuePtr Authenticate(
      const std::string& token, const std::string& scheme = "com.tessel.orbi.std.security.oauth") {
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    context->securityCtx = {{"schemeId", scheme}, {"accessToken", token}};
    Orbi::Data::ValuePtr answer = Orbi::Data::StringValue::Create("unanswered");
    handler_->AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) { answer = value; });
    return answer;
  }

  // The one message id of a refusal, "pass" when left to the next handler, empty when accepted.
  std::string RefusalId(const std::string& token) {
    auto answer = Authenticate(token);
    if (!answer) return "pass";
    auto error = Orbi::Data::As<Orbi::Data::ErrorValue>(answer);
    if (!error) return "";
    EXPECT_EQ(error->GetErrorKind(), "unauthenticated");
    auto messages = Orbi::Data::As<Orbi::Data::ListValue>(error->GetField("messages"));
    if (!messages || messages->GetItems().size() != 1) return "?";
    return *Orbi::Data::As<Orbi::Data::StructValue>(messages->GetItems()[0])->GetString("id");
  }

  // RefusalId, after checking that the token presented again (remembered or not) is answered and
  // logged alike.
  std::string SteadyRefusalId(const std::string& token) {
    const auto first = Present(token);
    const std::string id = RefusalId(token);
    EXPECT_EQ(Present(token), first) << token;
    return id;
  }

  // The answer's text and every line logged for one presentation.
  std::pair<std::string, std::vector<std::string>> Present(const std::string& token) {
    const size_t before = Lines().size();
    auto answer = Authenticate(token);
    auto lines = Lines();
    lines.erase(lines.begin(), lines.begin() + before);
    return {answer ? Orbi::Json::ToText(*answer, Orbi::Json::Encoding::kClean) : "pass", lines};
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  bool Logged(const std::string& line) {
    const auto lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  // A line that holds the token's signature part, or one of its first 16 characters.
  std::string LineWithSignatureOf(const std::string& token) {
    const std::string signature = token.substr(token.rfind('.') + 1).substr(0, 16);
    for (const auto& line : Lines()) {
      if (signature.size() == 16 && line.find(signature) != std::string::npos) return line;
    }
    return "";
  }

  NoxConfigStore::Testing::TemporaryHostRoot root_;
  std::shared_ptr<Issuers::CertificateChainsContainer> container_;
  std::unique_ptr<ExternalJwtHandler> handler_;
  int64_t now_ = kNow;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST_F(ExternalJwtHandlerTest, GroupsAreReadOneByOneAndOnlyFromAList) {
  AuthnData::Reader reader(
      Authenticate(SignRsa(Claims(kNow, R"(,"group_names":["admins@corp",42,"plain","trail@"])"))));
  EXPECT_EQ(*reader.IssuerAlias(), "idp-0");
  EXPECT_EQ(*reader.Username() + "|" + *reader.Domain(), "ann|corp");
  std::vector<std::string> groups;
  for (const auto& group : reader.Groups()) groups.push_back(group.name + "|" + group.domain);
  EXPECT_EQ(groups, (std::vector<std::string>{"admins|corp", "plain|plain", "trail|"}));
  EXPECT_TRUE(Logged("4 Group 1 is not a string. Continuing."));

  AuthnData::Reader asObject(Authenticate(SignRsa(Claims(kNow, R"(,"group_names":{"a":"b@c"})"))));
  EXPECT_TRUE(asObject.HasGroups() && asObject.Groups().empty());
  AuthnData::Reader asText(Authenticate(SignRsa(Claims(kNow, R"(,"group_names":"a@b")"))));
  EXPECT_TRUE(asText.IsExternal());
  EXPECT_FALSE(asText.HasGroups());
}

// A token verified before is remembered, yet the registry and the clock of each call decide: the
// second presentation gets what a handler that never saw the token answers and logs.
TEST_F(ExternalJwtHandlerTest, ARememberedTokenIsJudgedAsIfNew) {
  const std::string unrelated = Key("unrelated").certPemText;
  const std::string rsa = Key("rsa").certPemText;
  const std::string p256 = Key("p256").certPemText;
  const std::string token = SignRsa(Claims(kNow + 10, R"(,"group_names":["admins@corp"])"));
  struct Change {
    const char* name;
    std::function<void()> apply;
    const char* answered;  // a text of the second answer
  };
  const auto rechain = [this](std::vector<std::string> chain) {
    return [this, chain] {
      Basalt::System::ScopedWriteLock lock(*container_);
      ASSERT_TRUE(container_->UpdateIssuer(
          "idp-0", std::nullopt,
          Issuers::ChainList{
              std::make_shared<Issuers::X509CertChain>(Issuers::X509CertChain{chain})}));
    };
  };
  const auto remove = [this] {
    Basalt::System::ScopedWriteLock lock(*container_);
    ASSERT_TRUE(container_->RemoveIssuer("idp-0"));
  };
  const Change changes[] = {
      {"unchanged", [] {}, R"("admins")"},
      {"certificate removed", rechain({unrelated}), "external_token_invalid_signature"},
      {"certificate moved first", rechain({rsa, unrelated}), R"("admins")"},
      {"failed certificate twice", rechain({unrelated, unrelated, rsa}), R"("admins")"},
      {"certificate after a new one", rechain({p256, unrelated, rsa}), R"("admins")"},
      {"issuer deleted", remove, "issuer_not_found"},
      {"issuer under another alias",
       [&] {
         remove();
         Register("idp-2", kIssuer, {rsa});
       },
       R"("idp-2")"},
      {"expired", [&] { now_ = kNow + 11; }, "token_expired"},
  };
  for (const auto& [name, change, answered] : changes) {
    {
      Basalt::System::ScopedWriteLock lock(*container_);
      for (const char* alias : {"idp-0", "idp-2"}) (void)container_->RemoveIssuer(alias);
    }
    Register("idp-0", kIssuer, {unrelated, rsa});
    handler_ = MakeHandler();
    now_ = kNow;
    const auto first = Present(token);
    EXPECT_NE(first.first.find(R"("admins")"), std::string::npos) << name;
    EXPECT_EQ(handler_->RememberedTokens(), 1u) << name;
    change();
    const auto again = Present(token);
    EXPECT_NE(again.first.find(answered), std::string::npos) << name << ": " << again.first;
    handler_ = MakeHandler();
    EXPECT_EQ(again, Present(token)) << name;
  }
  EXPECT_EQ(RefusalId(token), kExpired);
  EXPECT_EQ(handler_->RememberedTokens(), 0u);
}

TEST_F(ExternalJwtHandlerTest, EveryTokenGetsItsOneAnswer) {
  const std::string noIssuer = std::string(R"({"iss":")") + kIssuer + R"(","username":"ann"})";
  std::vector<std::pair<std::string, std::string>> cases = {
      {SignRsa(Claims(kNow)), ""},  // exp is the current second
      {SignRsa(Claims(kNow - 1)), kExpired},
      {SignRsa(noIssuer), kExpired},
      {SignRsa(Claims(R"("9999999999")")), kExpired},
      // The signature is checked before the expiry.
      {Sign(Claims(kNow - 100), JWT_ALG_RS256, ReadTextFile(Key("stranger").keyPem)),
       kInvalidSignature},
      // A key verifies only the algorithm of its own size.
      {Sign(R"({"iss":"p256-issuer","exp":1700000000})", JWT_ALG_ES384,
            ReadTextFile(Key("p256").keyPem)),
       kInvalidSignature},
      {Compose(R"({"alg":"none"})", Claims(), ""), kInvalidSignature},
      {Compose(R"({"alg":"ES256"})", Claims()), kInvalidSignature},
      {Sign(Claims(), JWT_ALG_RS256, ReadTextFile(Key("rsa").keyPem),
            R"({"crit":["exp"],"exp":1})"),
       kInvalidSignature},
      // Same signature input shape, but a claims part naming "iss" twice.
      {Compose(R"({"alg":"RS256"})", R"({"iss":"x","iss":")" + std::string(kIssuer) + R"("})"),
       kInvalid},
      {std::string(kMaxExternalTokenLength + 1, 'a'), kInvalid},
      // No issuer (the daemon's own tokens) is left to the next handler.
      {Sign(R"({"username":"u","exp":1})", JWT_ALG_HS256, "k"), "pass"},
  };
  // Forgeries keyed with the issuer's public key in each of its forms.
  auto cert = Basalt::Crypto::CreatePEMCertificate(Key("rsa").certPemText.data(),
                                                   Key("rsa").certPemText.size());
  auto der = cert->GetPublicKeyDer();
  for (const std::string& secret : {Key("rsa").certPemText, std::string(der.begin(), der.end()),
                                    "-----BEGIN PUBLIC KEY-----\n" + cert->GetPublicKeyBase64() +
                                        "\n-----END PUBLIC KEY-----\n"}) {
    for (jwt_alg_t alg : {JWT_ALG_HS256, JWT_ALG_HS384, JWT_ALG_HS512}) {
      cases.emplace_back(Sign(Claims(), alg, secret), kInvalidSignature);
    }
  }
  // Presented again, each gets the same answer: remembering tokens must not let any other through.
  for (const auto& [token, refusal] : cases) EXPECT_EQ(SteadyRefusalId(token), refusal) << token;
  // Every line about them, at every level, names them in the shortened form only.
  for (const auto& [token, refusal] : cases) EXPECT_EQ(LineWithSignatureOf(token), "") << token;
  EXPECT_EQ(Authenticate(SignRsa(Claims()), "com.tessel.orbi.std.security.user_pass"), nullptr);
}

TEST_F(ExternalJwtHandlerTest, ConfiguredChecksRefuseAsInvalidTokens) {
  ExternalTokenPolicy policy;
  policy.audiences = {"nox"};
  policy.checkNotBefore = true;
  handler_ = MakeHandler(policy);
  EXPECT_EQ(SteadyRefusalId(SignRsa(Claims(kNow, R"(,"aud":["x","nox"],"nbf":1)"))), "");
  EXPECT_EQ(SteadyRefusalId(SignRsa(Claims(kNow, R"(,"aud":"x")"))), kInvalid);
  const std::string refused = "3 Token of issuer alias idp-0 refused: ";
  EXPECT_TRUE(Logged(refused + "audience not accepted; the token holds: [x]"));
  EXPECT_EQ(SteadyRefusalId(SignRsa(Claims(kNow, R"(,"aud":"nox","iat":1800000000)"))), kInvalid);
  EXPECT_TRUE(Logged(refused + "issued in the future (iat); the token holds: 1800000000"));
  // The signature and the expiry come first, with their own answers.
  EXPECT_EQ(SteadyRefusalId(SignRsa(Claims(kNow - 1, R"(,"aud":"x")"))), kExpired);
}

ExternalTokenPolicy Read(const std::string& inner) {
  return ExternalTokenPolicy::FromConfig(
      *Basalt::Service::Config::Parse("<config>" + inner + "</config>", "test"));
}

TEST(ExternalTokenPolicyTest, ReadsTheConfigurationOrRefusesIt) {
  EXPECT_EQ(Read("").Describe(), "any audience; \"nbf\" and \"iat\" not checked");
  EXPECT_FALSE(Read("").ChecksJwtClaims());
  EXPECT_EQ(Read("<externalTokens><audience>a</audience><audience>b</audience>"
                 "<checkNotBefore>true</checkNotBefore></externalTokens>")
                .Describe(),
            "audience one of [a, b]; \"nbf\" and \"iat\" at most 60 s ahead");
  EXPECT_EQ(Read("<externalTokens><checkNotBefore>false</checkNotBefore>"
                 "<clockSkewSeconds>5</clockSkewSeconds></externalTokens>")
                .Describe(),
            "any audience; \"nbf\" and \"iat\" not checked");
  EXPECT_EQ(Read("<externalTokens><checkConfirmationExpiry>true</checkConfirmationExpiry>"
                 "<clockSkewSeconds>5</clockSkewSeconds></externalTokens>")
                .Describe(),
            "any audience; \"nbf\" and \"iat\" not checked; SAML confirmation NotOnOrAfter at "
            "most 5 s past");
  EXPECT_FALSE(Read("<externalTokens><checkConfirmationExpiry>false</checkConfirmationExpiry>"
                    "</externalTokens>")
                   .checkConfirmationExpiry);
  for (const char* bad :
       {"<audience></audience>", "<checkNotBefore>yes</checkNotBefore>",
        "<checkConfirmationExpiry>1</checkConfirmationExpiry>",
        "<clockSkewSeconds>-1</clockSkewSeconds>", "<clockSkewSeconds>86401</clockSkewSeconds>",
        "<clockSkewSeconds>1m</clockSkewSeconds>"}) {
    EXPECT_THROW(Read(std::string("<externalTokens>") + bad + "</externalTokens>"),
                 Basalt::Exception)
        << bad;
  }
}

// Each row: the policy, the claims, and the check that refuses them ("" when admitted) with what
// the log is told the token holds.
TEST(ExternalTokenPolicyTest, EachRuleRefusesWithItsOwnCheck) {
  ExternalTokenPolicy none;
  ExternalTokenPolicy audience;
  audience.audiences = {"nox", "other"};
  ExternalTokenPolicy notBefore;
  notBefore.checkNotBefore = true;
  notBefore.clockSkewSeconds = 60;
  const std::string soon = std::to_string(kNow + 60), late = std::to_string(kNow + 61);
  const struct {
    const ExternalTokenPolicy& policy;
    std::string claims;
    std::string refusal;
  } rows[] = {
      {none, R"({"aud":"elsewhere","nbf":9999999999,"iat":9999999999})", ""},
      {audience, R"({"aud":"nox"})", ""},
      {audience, R"({"aud":["elsewhere","other"]})", ""},
      {audience, R"({"aud":"elsewhere"})", "audience not accepted: [elsewhere]"},
      {audience, R"({"aud":["a","b"]})", "audience not accepted: [a, b]"},
      {audience, R"({"aud":{"nox":1}})", "audience not accepted: []"},
      {audience, R"({})", "audience not accepted: []"},
      {notBefore, R"({"nbf":)" + soon + R"(,"iat":)" + soon + "}", ""},
      {notBefore, "{}", ""},
      {notBefore, R"({"nbf":)" + late + "}", "not yet valid (nbf): " + late},
      {notBefore, R"({"nbf":"0"})", "not yet valid (nbf): not a number"},
      {notBefore, R"({"iat":)" + late + ".5}", "issued in the future (iat): " + late + ".5"},
      {notBefore, R"({"aud":"elsewhere","iat":1e300})", "issued in the future (iat): 1e+300"},
  };
  for (const auto& row : rows) {
    Basalt::Json::JsonPtr claims(json_loads(row.claims.c_str(), 0, nullptr));
    ASSERT_TRUE(claims) << row.claims;
    auto refusal = row.policy.CheckJwt(*claims, kNow);
    EXPECT_EQ(refusal ? std::string(Describe(refusal->check)) + ": " + refusal->found : "",
              row.refusal)
        << row.claims;
  }
  EXPECT_FALSE(audience.CheckSamlAudience({"x", "nox"}));
  auto saml = audience.CheckSamlAudience({});
  ASSERT_TRUE(saml);
  EXPECT_EQ(saml->check, ExternalTokenCheck::kAudienceNotAccepted);
  EXPECT_FALSE(none.CheckSamlAudience({}));

  // The confirmation's NotOnOrAfter, and the refusal ("" when admitted) at kNow.
  ExternalTokenPolicy expiry;
  expiry.checkConfirmationExpiry = true;
  expiry.clockSkewSeconds = 60;
  const auto at = [](int64_t seconds) {
    return Basalt::System::DateTime::FromUtcMicroseconds(seconds * 1'000'000);
  };
  const std::string expired = "confirmation expired (SubjectConfirmationData NotOnOrAfter): ";
  const struct {
    const ExternalTokenPolicy& policy;
    std::optional<Basalt::System::DateTime> notOnOrAfter;
    std::string refusal;
  } samlRows[] = {
      {none, at(0), ""},
      {expiry, std::nullopt, ""},
      {expiry, at(kNow - 59), ""},
      {expiry, at(kNow - 60), expired + "2023-11-14T22:12:20Z"},
      {expiry, at(0), expired + "1970-01-01T00:00:00Z"},
  };
  for (const auto& row : samlRows) {
    auto refusal = row.policy.CheckSamlConfirmationExpiry(row.notOnOrAfter, at(kNow));
    EXPECT_EQ(refusal ? std::string(Describe(refusal->check)) + ": " + refusal->found : "",
              row.refusal);
  }
}

VerifiedTokenCache::EntryPtr Expiring(long exp, size_t certificateBytes = 0) {
  auto entry = std::make_shared<VerifiedExternalToken>();
  entry->claims.exp = exp;
  entry->certificate.assign(certificateBytes, 'c');
  return entry;
}

// A full cache gives up what has expired, then what expires first; what is too large or already
// expired never goes in.
TEST(VerifiedTokenCacheTest, FullMakesRoomByExpiry) {
  VerifiedTokenCache cache;
  cache.Insert("expired", Expiring(kNow - 1), kNow);
  cache.Insert("huge", Expiring(kNow + 1, VerifiedTokenCache::kMaxBytes / 64), kNow);
  EXPECT_EQ(cache.size(), 0u);

  cache.Insert("first", Expiring(kNow + 1), kNow);
  EXPECT_NE(cache.Find("first", kNow + 1), nullptr);
  EXPECT_EQ(cache.Find("first", kNow + 2), nullptr);  // "exp" is the last valid second

  for (size_t i = 1; i < VerifiedTokenCache::kMaxEntries; ++i) {
    cache.Insert("t" + std::to_string(i), Expiring(kNow + 10 + static_cast<long>(i)), kNow);
  }
  ASSERT_EQ(cache.size(), VerifiedTokenCache::kMaxEntries);
  cache.Insert("late", Expiring(kNow + 5000), kNow + 5);  // "first" has expired by then
  EXPECT_EQ(cache.size(), VerifiedTokenCache::kMaxEntries);
  EXPECT_EQ(cache.Find("first", kNow), nullptr);
  cache.Insert("later", Expiring(kNow + 5000), kNow + 5);  // none has: the soonest goes
  EXPECT_EQ(cache.Find("t1", kNow), nullptr);
  EXPECT_NE(cache.Find("t2", kNow), nullptr);
  EXPECT_NE(cache.Find("late", kNow), nullptr);

  cache.Erase("later");
  EXPECT_EQ(cache.Find("later", kNow), nullptr);
}

}  // namespace
}  // namespace Nox::Authn
