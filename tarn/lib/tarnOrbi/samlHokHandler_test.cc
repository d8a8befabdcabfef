#include "tarnOrbi/samlHokHandler.h"

#include <gtest/gtest.h>

#include <future>
#include <map>

#include "lib/ssoclient/testing/suiteTokensTest.h"
#include "platform/authn/authnData.h"
#include "platform/orbi/frameworkIds.h"
#include "tarnOrbi/verifiedSamlAssertion.h"

namespace TarnOrbi {
namespace {

using Basalt::System::DateTime;

const char kIssuer[] = "https://sts.example.test/issuer";

// An issuer registry stand-in: lists by issuer.
struct Registry final : Basalt::System::RwLockableMixin {
  std::map<std::string, SsoClient::CertificateList> byIssuer;
  SsoClient::CertificateList none;
};

// True when no thread holds the registry's lock. Asked from another thread: a thread must not try
// a lock it may hold itself.
bool Unlocked(const Registry& registry) {
  return std::async(std::launch::async,
                    [&registry] {
                      if (!registry.TryWriteLock()) return false;
                      registry.WriteUnlock();
                      return true;
                    })
      .get();
}

class SamlHokHandlerTest : public SsoClient::Testing::SuiteTokensTest {
 protected:
  void SetUp() override {
    registry_ = std::make_shared<Registry>();
    registry_->byIssuer[kIssuer] = {Tokens().Certificate(Tokens().IssuerRsa())};
    registry_->byIssuer["https://other.example.test"] = {
        Tokens().Certificate(Tokens().Untrusted())};
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

  // The answer as text: "pass", "unauthenticated", or the authentication data. `security` is
  // what the caller sends beside the token.
  std::string Authenticate(
      const std::string& token, Authn::SamlHokHandler::EnrichFn enrich = nullptr,
      std::shared_ptr<const Orbi::Core::VerifiedCredential> handedOver = nullptr,
      Orbi::Core::StringMap security = {{"schemeId", Orbi::Security::kSamlHokScheme},
                                        {"samlHokTokenAlgorithm", "ES256"}}) {
    Authn::SamlHokHandler handler(Provider(), logger_, std::move(enrich),
                                  Basalt::System::FixedUtcClock(DateTime("2030-01-01T10:30:00Z")));
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    context->securityCtx = std::move(security);
    context->securityCtx["samlHokToken"] = token;
    context->verifiedCredential = std::move(handedOver);
    std::string answer = "no answer";
    handler.AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) {
      EXPECT_TRUE(Unlocked(*registry_)) << "lock held while completing";
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

  std::shared_ptr<Registry> registry_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  std::vector<std::string> lines_;
};

// The refusals and their log lines are checked end to end; here what only the handler shows.
TEST_F(SamlHokHandlerTest, VerifiedTokenNamesDomainAndUserOrIsEnrichedOrRefused) {
  EXPECT_EQ(Authenticate(DefaultSigned()), R"({"username":"EXAMPLE.TEST\\ada"})");
  EXPECT_EQ(lines_, std::vector<std::string>{
                        "6 AsyncAuthenticate got SAML token for principal: {Name: ada; "
                        "Domain:EXAMPLE.TEST}"});
  auto enrich = [](const std::shared_ptr<const SsoClient::SamlToken>& token,
                   const std::shared_ptr<Orbi::Data::StructValue>& result) {
    Nox::Authn::AuthnData::Builder(result).Username(token->GetSubject().name).IssuerAlias("corp");
    return true;
  };
  EXPECT_EQ(Authenticate(DefaultSigned(), enrich), R"({"username":"ada","issuerAlias":"corp"})");
  EXPECT_EQ(Authenticate(DefaultSigned(), [](auto, auto) { return false; }), "unauthenticated");
  // Without the proof's algorithm, or under another scheme, the next handler decides.
  for (const Orbi::Core::StringMap& security :
       {Orbi::Core::StringMap{{"schemeId", Orbi::Security::kSamlHokScheme}},
        {{"schemeId", Orbi::Security::kOAuthScheme}, {"samlHokTokenAlgorithm", "ES256"}}}) {
    EXPECT_EQ(Authenticate(DefaultSigned(), nullptr, nullptr, security), "pass");
  }
}

TEST_F(SamlHokHandlerTest, RefusalsAreSilentAndReleaseTheRegistry) {
  // Signed by the other issuer's key but naming this issuer, and the reverse.
  const std::string foreign = Tokens().Signed(Tokens().DefaultSpec(), Tokens().Untrusted());
  const auto naming = [](const std::string& issuer) {
    return Tokens().Sign(
        SsoClient::Testing::ReplaceOnce(Tokens().Render(Tokens().DefaultSpec()), kIssuer, issuer),
        Tokens().IssuerRsa());
  };
  for (const std::string& token :
       {foreign, naming("https://other.example.test"), naming("https://unknown.example.test"),
        std::string("not xml")}) {
    EXPECT_EQ(Authenticate(token), "unauthenticated") << token.substr(0, 40);
  }
  EXPECT_TRUE(lines_.empty());
  EXPECT_TRUE(Unlocked(*registry_));
}

// With the issuer no longer trusted, only an assertion handed over for exactly the text presented
// still names its subject; other text is verified here and refused.
TEST_F(SamlHokHandlerTest, TakesAHandedOverAssertionForItsOwnTextOnly) {
  const std::string token = DefaultSigned();
  const SamlCertificateProvider provider = Provider();
  auto handedOver = std::make_shared<VerifiedSamlAssertion>(
      token, SsoClient::CreateVerifiedSamlToken(
                 token, AdaptCertificateProvider(provider),
                 Basalt::System::FixedUtcClock(DateTime("2030-01-01T10:30:00Z"))));
  registry_->byIssuer.clear();
  EXPECT_EQ(Authenticate(token, nullptr, handedOver), R"({"username":"EXAMPLE.TEST\\ada"})");
  EXPECT_EQ(Authenticate(token + "\n", nullptr, handedOver), "unauthenticated");
  EXPECT_EQ(Authenticate(token), "unauthenticated");
}

}  // namespace
}  // namespace TarnOrbi
