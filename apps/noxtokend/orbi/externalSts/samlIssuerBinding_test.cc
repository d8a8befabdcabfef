#include "apps/noxtokend/orbi/externalSts/samlIssuerBinding.h"

#include <gtest/gtest.h>

#include <tuple>

#include "lib/ssoclient/testing/suiteTokensTest.h"
#include "platform/configstore/configStoreTestRoot.h"
#include "platform/orbi/frameworkIds.h"

namespace NoxToken {
namespace {

using Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::CertificateChainsContainer;
using Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::X509CertChain;

const char kIssuer[] = "https://sts.example.test/issuer";
const Basalt::System::DateTime kNow("2030-01-01T10:30:00Z");

class SamlIssuerBindingTest : public SsoClient::Testing::SuiteTokensTest {
 protected:
  void SetUp() override {
    issuers_ = std::make_shared<CertificateChainsContainer>(
        NoxConfigStore::ConfigStore::Open(root_.StoreOptions()));
    Register("corp", kIssuer, Tokens().IssuerRsa());
  }

  void Register(const std::string& alias, const std::string& issuer,
                const Basalt::Xml::Testing::TestKey& key) {
    const Basalt::System::ScopedWriteLock lock(*issuers_);
    ASSERT_TRUE(issuers_->CreateIssuer(
        alias, issuer, {std::make_shared<X509CertChain>(X509CertChain{{key.certPemText}})}));
  }

  // The handler's answer as text, with the daemon's provider and `enrich`.
  std::string Authenticate(const std::string& token,
                           TarnOrbi::Authn::SamlHokHandler::EnrichFn enrich) {
    TarnOrbi::Authn::SamlHokHandler handler(MakeSamlCertificateProvider(issuers_), logger_,
                                            std::move(enrich), Basalt::System::FixedUtcClock(kNow));
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    context->securityCtx = {{"schemeId", Orbi::Security::kSamlHokScheme},
                            {"samlHokToken", token},
                            {"samlHokTokenAlgorithm", "ES256"}};
    std::string answer = "no answer";
    handler.AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) {
      auto error = Orbi::Data::As<Orbi::Data::ErrorValue>(value);
      answer = error ? error->GetErrorKind() : value ? value->ToString() : "pass";
    });
    return answer;
  }

  NoxConfigStore::Testing::TemporaryHostRoot root_;
  std::shared_ptr<CertificateChainsContainer> issuers_;
  std::shared_ptr<Basalt::Service::Logger> logger_ =
      Basalt::Service::Logger::CreateRoot("SamlHokHandler", 0, [](const auto&) {});
};

// Unknown issuers and other refusals are checked end to end; here what depends on the registry.
TEST_F(SamlIssuerBindingTest, OnlyTheNamedRegisteredIssuersCertificatesCountAtEachStep) {
  const auto enrich = MakeSamlEnrichment(issuers_, logger_);
  EXPECT_EQ(Authenticate(DefaultSigned(), enrich),
            R"({"username":"ada","issuerAlias":"corp","domain":"EXAMPLE.TEST","StsGroups":[)"
            R"({"domain":"EXAMPLE.TEST","name":"Administrators"},)"
            R"({"domain":"EXAMPLE.TEST","name":"Everyone"}]})");
  Register("other", "https://other.test", Tokens().Untrusted());
  // Signed with the other issuer's key but naming corp.
  EXPECT_EQ(Authenticate(Tokens().Signed(Tokens().DefaultSpec(), Tokens().Untrusted()), enrich),
            "unauthenticated");
  // Removed between verification and enrichment.
  auto removeThenEnrich = [&](const std::shared_ptr<const SsoClient::SamlToken>& token,
                              const std::shared_ptr<Orbi::Data::StructValue>& result) {
    {
      const Basalt::System::ScopedWriteLock lock(*issuers_);
      EXPECT_TRUE(issuers_->RemoveIssuer("corp"));
    }
    return enrich(token, result);
  };
  EXPECT_EQ(Authenticate(DefaultSigned(), removeThenEnrich), "unauthenticated");
}

// Each configured check with what it admits and refuses. The confirmation's NotOnOrAfter counts
// only when configured, and then within the skew; a value that is no date is refused as a token
// that does not parse, and accepted unread otherwise.
TEST_F(SamlIssuerBindingTest, EachConfiguredCheckRefusesWhatItDoesNotAdmit) {
  const auto confirmedUntil = [](const std::string& value) {
    return Tokens().Sign(ConfirmedUntil(value), Tokens().IssuerRsa());
  };
  const std::string expired = confirmedUntil("2030-01-01T10:29:00Z");
  const std::string malformed = confirmedUntil("soon");
  Nox::Authn::ExternalTokenPolicy unchecked, other, elsewhere, expiry;
  other.audiences = {"urn:tessel:host:other"};
  elsewhere.audiences = {"urn:elsewhere"};
  expiry.checkConfirmationExpiry = true;
  const std::tuple<const Nox::Authn::ExternalTokenPolicy&, std::string, std::string> rows[] = {
      {other, DefaultSigned(), "ada"},      {elsewhere, DefaultSigned(), "unauthenticated"},
      {unchecked, expired, "ada"},          {unchecked, malformed, "ada"},
      {expiry, DefaultSigned(), "ada"},     {expiry, confirmedUntil("2030-01-01T10:29:01Z"), "ada"},
      {expiry, expired, "unauthenticated"}, {expiry, malformed, "unauthenticated"},
  };
  for (size_t row = 0; row < std::size(rows); ++row) {
    const auto& [policy, token, outcome] = rows[row];
    const std::string answer = Authenticate(
        token, MakeSamlEnrichment(issuers_, logger_, policy, Basalt::System::FixedUtcClock(kNow)));
    EXPECT_NE(answer.find(outcome), std::string::npos) << "row " << row << ": " << answer;
  }
}

}  // namespace
}  // namespace NoxToken
