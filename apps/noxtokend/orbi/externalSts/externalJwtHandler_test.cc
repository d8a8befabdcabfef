#include "apps/noxtokend/orbi/externalSts/externalJwtHandler.h"

#include <gtest/gtest.h>
#include <jwt.h>

#include <mutex>

#include "apps/noxtokend/orbi/messageTable.h"
#include "platform/authn/authnData.h"
#include "platform/authn/jwtHandle.h"
#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/xml/testing/xmlsecSigner.h"
#include "platform/configstore/configStoreTestRoot.h"

namespace Nox::Authn {
namespace {

using Basalt::Xml::Testing::GenerateKey;
using Basalt::Xml::Testing::KeyType;
using Basalt::Xml::Testing::ReadTextFile;
using Basalt::Xml::Testing::TestKey;
namespace Issuers = Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc;

constexpr int64_t kNow = 1'700'000'000;
constexpr const char* kIssuer = "https://idp.example";

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

// A token put together by hand, for headers libjwt will not write.
std::string Compose(const std::string& header, const std::string& claims,
                    const std::string& signature = "sig") {
  return Basalt::Crypto::EncodeBase64(header, Basalt::Crypto::Base64Alphabet::kUrl) + "." +
         Basalt::Crypto::EncodeBase64(claims, Basalt::Crypto::Base64Alphabet::kUrl) + "." +
         Basalt::Crypto::EncodeBase64(signature, Basalt::Crypto::Base64Alphabet::kUrl);
}

std::string Claims(int64_t exp, const std::string& more = "") {
  return std::string(R"({"iss":")") + kIssuer + R"(","exp":)" + std::to_string(exp) +
         R"(,"username":"ann","domain":"corp")" + more + "}";
}

class ExternalJwtHandlerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new Basalt::Xml::Testing::TempDir();
    unrelated_ = new TestKey(GenerateKey(*dir_, "unrelated", KeyType::kRsa2048));
    rsa_ = new TestKey(GenerateKey(*dir_, "rsa", KeyType::kRsa2048));
    stranger_ = new TestKey(GenerateKey(*dir_, "stranger", KeyType::kRsa2048));
  }
  static void TearDownTestSuite() {
    delete stranger_;
    delete rsa_;
    delete unrelated_;
    delete dir_;
  }

  void SetUp() override {
    logger_ = Basalt::Service::Logger::CreateRoot("External JWT Handler", 7,
                                                  [this](const Basalt::Service::LogRecord& r) {
                                                    std::lock_guard lock(mutex_);
                                                    lines_.emplace_back(r.level, r.text);
                                                  });
    container_ = std::make_shared<Issuers::CertificateChainsContainer>(
        NoxConfigStore::ConfigStore::Open(root_.StoreOptions()));
    Register({{unrelated_->certPemText, rsa_->certPemText}});
    handler_ = std::make_unique<ExternalJwtHandler>(
        logger_, container_, Com::Tessel::Nox::Authentication::CreateLocalizer(),
        [] { return kNow * 1000000 + 999999; });
  }

  void Register(const std::vector<std::vector<std::string>>& chains,
                const std::string& issuer = kIssuer) {
    Issuers::ChainList list;
    for (const auto& chain : chains) {
      list.push_back(std::make_shared<Issuers::X509CertChain>(Issuers::X509CertChain{chain}));
    }
    Basalt::System::ScopedWriteLock lock(*container_);
    container_->CreateIssuer("idp-" + std::to_string(aliases_++), issuer, list);
  }

  Orbi::Data::ValuePtr Authenticate(
      const std::string& token, const std::string& scheme = "com.tessel.orbi.std.security.oauth") {
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    context->securityCtx = {{"schemeId", scheme}, {"accessToken", token}};
    bool answered = false;
    Orbi::Data::ValuePtr answer;
    handler_->AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) {
      answered = true;
      answer = std::move(value);
    });
    EXPECT_TRUE(answered);
    return answer;
  }

  // The one message id of a refusal; empty when the call was not refused.
  static std::string RefusalId(const Orbi::Data::ValuePtr& answer) {
    auto error = Orbi::Data::As<Orbi::Data::ErrorValue>(answer);
    if (!error) return "";
    EXPECT_EQ(error->GetErrorKind(), "unauthenticated");
    auto messages = Orbi::Data::As<Orbi::Data::ListValue>(error->GetField("messages"));
    if (!messages || messages->GetItems().size() != 1) return "?";
    auto message = Orbi::Data::As<Orbi::Data::StructValue>(messages->GetItems()[0]);
    return *message->GetString("id");
  }

  int CountLines(int level, const std::string& prefix) {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const auto& [l, text] : lines_) count += l == level && text.rfind(prefix, 0) == 0;
    return count;
  }

  static Basalt::Xml::Testing::TempDir* dir_;
  static TestKey* unrelated_;
  static TestKey* rsa_;
  static TestKey* stranger_;  // registered nowhere
  NoxConfigStore::Testing::TemporaryHostRoot root_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  std::shared_ptr<Issuers::CertificateChainsContainer> container_;
  std::unique_ptr<ExternalJwtHandler> handler_;
  int aliases_ = 0;
  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;
};

Basalt::Xml::Testing::TempDir* ExternalJwtHandlerTest::dir_ = nullptr;
TestKey* ExternalJwtHandlerTest::unrelated_ = nullptr;
TestKey* ExternalJwtHandlerTest::rsa_ = nullptr;
TestKey* ExternalJwtHandlerTest::stranger_ = nullptr;

TEST_F(ExternalJwtHandlerTest, SecondCertificateOfTheChainVerifiesAfterOneFailedAttempt) {
  std::string groups = R"(,"group_names":["admins@corp",42,"plain","trail@"])";
  auto answer =
      Authenticate(Sign(Claims(kNow + 60, groups), JWT_ALG_RS256, ReadTextFile(rsa_->keyPem)));
  auto data = Orbi::Data::As<Orbi::Data::StructValue>(answer);
  ASSERT_TRUE(data && !Orbi::Data::As<Orbi::Data::ErrorValue>(answer)) << answer->ToString();
  EXPECT_EQ(data->GetName(), AuthnData::kExternalJwtResult);
  AuthnData::Reader reader(answer);
  EXPECT_EQ(*reader.IssuerAlias(), "idp-0");
  EXPECT_EQ(*reader.Username(), "ann");
  EXPECT_EQ(*reader.Domain(), "corp");
  auto found = reader.Groups();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].name + "|" + found[0].domain, "admins|corp");
  EXPECT_EQ(found[1].name + "|" + found[1].domain, "plain|plain");
  EXPECT_EQ(found[2].name + "|" + found[2].domain, "trail|");
  EXPECT_EQ(CountLines(4, "Group 1 is not a string. Continuing."), 1);
  EXPECT_EQ(CountLines(6, "Attempting cert " + unrelated_->certPemText.substr(0, 27)), 1);
  EXPECT_EQ(CountLines(6, "Attempting cert "), 1);
}

TEST_F(ExternalJwtHandlerTest, GroupsThatAreNotAnArrayGiveNoGroups) {
  std::string key = ReadTextFile(rsa_->keyPem);
  auto asObject = AuthnData::Reader(
      Authenticate(Sign(Claims(kNow, R"(,"group_names":{"a":"b@c"})"), JWT_ALG_RS256, key)));
  EXPECT_TRUE(asObject.HasGroups());
  EXPECT_TRUE(asObject.Groups().empty());
  auto asText = AuthnData::Reader(
      Authenticate(Sign(Claims(kNow, R"(,"group_names":"a@b")"), JWT_ALG_RS256, key)));
  EXPECT_TRUE(asText.IsExternal());
  EXPECT_FALSE(asText.HasGroups());
  EXPECT_EQ(CountLines(4, "Loading the groups failed:\nText: "), 1);
}

struct ExpiryCase {
  const char* name;
  std::string claims;
  bool signedByIssuer;
  std::string refusal;  // empty: accepted
};

TEST_F(ExternalJwtHandlerTest, SignatureIsCheckedBeforeExpiryAndExpiryToTheSecond) {
  std::string key = ReadTextFile(rsa_->keyPem);
  const std::string expired = "com.tessel.nox.authentication.token_expired";
  const std::string badSignature = "com.tessel.nox.authentication.external_token_invalid_signature";
  const ExpiryCase cases[] = {
      {"exp is the current second", Claims(kNow), true, ""},
      {"exp one second ago", Claims(kNow - 1), true, expired},
      {"no exp", std::string(R"({"iss":")") + kIssuer + R"(","username":"ann"})", true, expired},
      {"exp as text", std::string(R"({"iss":")") + kIssuer + R"(","exp":"9999999999"})", true,
       expired},
      {"expired and signed by another key", Claims(kNow - 100), false, badSignature},
  };
  for (const auto& c : cases) {
    std::string token =
        Sign(c.claims, JWT_ALG_RS256, c.signedByIssuer ? key : ReadTextFile(stranger_->keyPem));
    EXPECT_EQ(RefusalId(Authenticate(token)), c.refusal) << c.name;
  }
}

// Each algorithm's acceptance is checked over HTTP; here the one libjwt would get wrong alone.
TEST_F(ExternalJwtHandlerTest, AKeyVerifiesOnlyTheAlgorithmOfItsOwnSize) {
  auto p256 = GenerateKey(*dir_, "p256", KeyType::kEcP256);
  Register({{p256.certPemText}}, "p256-issuer");
  std::string token = Sign(R"({"iss":"p256-issuer","exp":)" + std::to_string(kNow) + "}",
                           JWT_ALG_ES384, ReadTextFile(p256.keyPem));
  EXPECT_EQ(RefusalId(Authenticate(token)),
            "com.tessel.nox.authentication.external_token_invalid_signature");
}

TEST_F(ExternalJwtHandlerTest, ForgeriesWithThePublicKeyAsSecretAreRefused) {
  std::string pem = rsa_->certPemText;
  std::string publicPem = [&] {
    auto cert = Basalt::Crypto::CreatePEMCertificate(pem.data(), pem.size());
    return "-----BEGIN PUBLIC KEY-----\n" + cert->GetPublicKeyBase64() +
           "\n-----END PUBLIC KEY-----\n";
  }();
  auto der = Basalt::Crypto::CreatePEMCertificate(pem.data(), pem.size())->GetPublicKeyDer();
  const std::string secrets[] = {pem, publicPem, std::string(der.begin(), der.end())};
  std::string claims = Claims(kNow);
  std::vector<std::string> forgeries;
  for (const auto& secret : secrets) {
    for (jwt_alg_t alg : {JWT_ALG_HS256, JWT_ALG_HS384, JWT_ALG_HS512}) {
      forgeries.push_back(Sign(claims, alg, secret));
    }
  }
  forgeries.push_back(Compose(R"({"alg":"none"})", claims, ""));
  forgeries.push_back(Compose(R"({"alg":"ES256"})", claims));
  forgeries.push_back(
      Sign(claims, JWT_ALG_RS256, ReadTextFile(rsa_->keyPem), R"({"crit":["exp"],"exp":1})"));
  for (const auto& token : forgeries) {
    EXPECT_EQ(RefusalId(Authenticate(token)),
              "com.tessel.nox.authentication.external_token_invalid_signature")
        << token;
  }
}

TEST_F(ExternalJwtHandlerTest, MalformedTokensAreUndecodableAndOthersPassOn) {
  const std::string invalid = "com.tessel.nox.authentication.invalid_token";
  std::string key = ReadTextFile(rsa_->keyPem);
  std::string duplicate = Sign(Claims(kNow), JWT_ALG_RS256, key);
  // Same signature input shape, but a claims part naming "iss" twice.
  std::string twice = R"({"iss":"x","iss":")" + std::string(kIssuer) + R"(","exp":1})";
  EXPECT_EQ(RefusalId(Authenticate(Compose(R"({"alg":"RS256"})", twice))), invalid);
  EXPECT_EQ(RefusalId(Authenticate("not a token")), invalid);
  EXPECT_EQ(RefusalId(Authenticate(std::string(kMaxExternalTokenLength + 1, 'a'))), invalid);
  EXPECT_EQ(CountLines(3, "JWT not decodable: "), 3);

  // No issuer (the daemon's own tokens) and other schemes are left to the next handler.
  EXPECT_EQ(Authenticate(Sign(R"({"username":"u","exp":1})", JWT_ALG_HS256, "k")), nullptr);
  EXPECT_EQ(Authenticate(duplicate, "com.tessel.orbi.std.security.user_pass"), nullptr);
  EXPECT_EQ(RefusalId(Authenticate(Sign(R"({"iss":"nobody","exp":1})", JWT_ALG_RS256, key))),
            "com.tessel.nox.authentication.trust.security_token_issuers.issuer_not_found");
}

}  // namespace
}  // namespace Nox::Authn
