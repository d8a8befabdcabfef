#include "tarnOrbi/samlHokHandler.h"

#include <gtest/gtest.h>

#include <map>

#include "lib/ssoclient/testing/samlTestTokens.h"
#include "platform/authn/authnData.h"
#include "platform/orbi/securitySchemes.h"
#include "tarnOrbi/samlVerifyKeyExtractor.h"

namespace TarnOrbi {
namespace {

using Basalt::System::DateTime;
using SsoClient::Testing::SamlTestTokens;
using SsoClient::Testing::TokenSpec;

const char kIssuer[] = "https://sts.example.test/issuer";

// An issuer registry stand-in: lists by issuer, and a count of read locks held.
struct Registry final : Basalt::System::RwLockableMixin {
  void ReadLock() const override {
    RwLockableMixin::ReadLock();
    ++readers;
  }
  void Unlock() const override {
    --readers;
    RwLockableMixin::Unlock();
  }
  std::map<std::string, SsoClient::CertificateList> byIssuer;
  SsoClient::CertificateList none;
  mutable int readers = 0;
};

class SamlHokHandlerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite_ = std::make_unique<SsoClient::Testing::SuiteTokens>();
    tokens_ = &suite_->tokens;
    signed_ = &suite_->defaultSigned;
  }
  static void TearDownTestSuite() { suite_.reset(); }

  void SetUp() override {
    registry_ = std::make_shared<Registry>();
    registry_->byIssuer[kIssuer] = {tokens_->Certificate(tokens_->IssuerRsa())};
    registry_->byIssuer["https://other.example.test"] = {
        tokens_->Certificate(tokens_->Untrusted())};
    logger_ = Basalt::Service::Logger::CreateRoot(
        "SamlHokHandler", 7, [this](const Basalt::Service::LogRecord& record) {
          lines_.push_back(std::to_string(record.level) + " " + std::string(record.text));
        });
  }

  SamlCertificateProvider Provider() {
    return [registry = registry_](const SsoClient::SamlToken& token) {
      return SynchronizedCertificateListWrapper(
          registry, [&]() -> const SsoClient::CertificateList& {
            auto it = registry->byIssuer.find(token.GetIssuer());
            return it == registry->byIssuer.end() ? registry->none : it->second;
          });
    };
  }

  // The answer as text: "pass", "unauthenticated", or the authentication data.
  std::string Authenticate(const std::string& token,
                           Authn::SamlHokHandler::EnrichFn enrich = nullptr,
                           bool withAlgorithm = true) {
    Authn::SamlHokHandler handler(Provider(), logger_, std::move(enrich),
                                  Basalt::System::FixedUtcClock(DateTime("2030-01-01T10:30:00Z")));
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    context->securityCtx = {{"schemeId", Orbi::Security::kSamlHokScheme}, {"samlHokToken", token}};
    if (withAlgorithm) context->securityCtx["samlHokTokenAlgorithm"] = "ES256";
    std::string answer = "no answer";
    handler.AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) {
      EXPECT_EQ(registry_->readers, 0) << "lock held while completing";
      if (!value) {
        answer = "pass";
      } else if (auto error = Orbi::Data::As<Orbi::Data::ErrorValue>(value)) {
        answer = error->GetErrorKind();
      } else {
        answer = value->ToString();
      }
    });
    return answer;
  }

  std::string Extract(const std::string& token) {
    const SamlVerifyKeyExtractor extractor(
        Provider(), logger_, Basalt::System::FixedUtcClock(DateTime("2030-01-01T10:30:00Z")));
    return extractor(token);
  }

  static inline std::unique_ptr<SsoClient::Testing::SuiteTokens> suite_;
  static inline SamlTestTokens* tokens_;
  static inline std::string* signed_;
  std::shared_ptr<Registry> registry_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  std::vector<std::string> lines_;
};

TEST_F(SamlHokHandlerTest, VerifiedTokenNamesDomainAndUser) {
  EXPECT_EQ(Authenticate(*signed_), R"({"username":"EXAMPLE.TEST\\ada"})");
  EXPECT_EQ(lines_, std::vector<std::string>{
                        "6 AsyncAuthenticate got SAML token for principal: {Name: ada; "
                        "Domain:EXAMPLE.TEST}"});
  EXPECT_EQ(registry_->readers, 0);
}

TEST_F(SamlHokHandlerTest, EnrichmentExtendsOrRefuses) {
  auto enrich = [](const std::shared_ptr<const SsoClient::SamlToken>& token,
                   const std::shared_ptr<Orbi::Data::StructValue>& result) {
    Nox::Authn::AuthnData::Builder(result).Username(token->GetSubject().name).IssuerAlias("corp");
    return true;
  };
  EXPECT_EQ(Authenticate(*signed_, enrich), R"({"username":"ada","issuerAlias":"corp"})");
  EXPECT_EQ(Authenticate(*signed_, [](auto, auto) { return false; }), "unauthenticated");
}

TEST_F(SamlHokHandlerTest, OnlyItsSchemeWithBothFields) {
  EXPECT_EQ(Authenticate(*signed_, nullptr, false), "pass");
  Authn::SamlHokHandler handler(Provider(), logger_);
  auto context = std::make_shared<Orbi::Core::ExecutionContext>();
  context->securityCtx = {{"schemeId", Orbi::Security::kOAuthScheme},
                          {"samlHokToken", *signed_},
                          {"samlHokTokenAlgorithm", "ES256"}};
  std::string answer = "no answer";
  handler.AsyncAuthenticate(context,
                            [&](Orbi::Data::ValuePtr v) { answer = v ? "value" : "pass"; });
  EXPECT_EQ(answer, "pass");
}

TEST_F(SamlHokHandlerTest, RefusalsAreSilent) {
  TokenSpec spec = tokens_->DefaultSpec();
  spec.notOnOrAfter = DateTime("2030-01-01T10:10:00Z");
  spec.notBefore = DateTime("2030-01-01T09:00:00Z");
  const std::string expired = tokens_->Signed(spec, tokens_->IssuerRsa());
  // Signed by the other issuer's key but naming this issuer, and the reverse.
  const std::string foreign = tokens_->Signed(tokens_->DefaultSpec(), tokens_->Untrusted());
  const std::string other = SsoClient::Testing::ReplaceOnce(tokens_->Render(tokens_->DefaultSpec()),
                                                            kIssuer, "https://other.example.test");
  const std::string namingOther = tokens_->Sign(other, tokens_->IssuerRsa());
  const std::string unknown =
      tokens_->Sign(SsoClient::Testing::ReplaceOnce(tokens_->Render(tokens_->DefaultSpec()),
                                                    kIssuer, "https://unknown.example.test"),
                    tokens_->IssuerRsa());
  for (const std::string& token : {expired, foreign, namingOther, unknown, std::string("<a>"),
                                   std::string("not xml"), std::string()}) {
    EXPECT_EQ(Authenticate(token), "unauthenticated") << token.substr(0, 40);
  }
  EXPECT_TRUE(lines_.empty()) << lines_.front();
  EXPECT_EQ(registry_->readers, 0);
}

TEST_F(SamlHokHandlerTest, KeyExtractorGivesTheConfirmationKey) {
  EXPECT_EQ(Extract(*signed_), tokens_->Certificate(tokens_->Client())->GetPublicKeyBase64());
  TokenSpec bearer = tokens_->DefaultSpec();
  bearer.holderOfKey = false;
  EXPECT_EQ(Extract(tokens_->Signed(bearer, tokens_->IssuerRsa())), "");
  EXPECT_TRUE(lines_.empty());
  EXPECT_EQ(Extract(tokens_->Signed(tokens_->DefaultSpec(), tokens_->Untrusted())), "");
  EXPECT_EQ(lines_, std::vector<std::string>{
                        "4 Failed to extract token verification key: Failed to verify signature: "
                        "token might have been tampered with."});
  EXPECT_EQ(registry_->readers, 0);
}

}  // namespace
}  // namespace TarnOrbi
