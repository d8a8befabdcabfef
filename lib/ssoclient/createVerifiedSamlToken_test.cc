#include "lib/ssoclient/createVerifiedSamlToken.h"

#include <gtest/gtest.h>

#include "lib/ssoclient/testing/suiteTokensTest.h"
#include "lib/ssoclient/verifiedSamlTokenCache.h"

namespace SsoClient {
namespace {

using Basalt::System::DateTime;
using Testing::ReplaceOnce;
using Testing::TestKey;

const Basalt::System::UtcClock kClock =
    Basalt::System::FixedUtcClock(DateTime("2030-01-01T10:30:00Z"));

class CreateVerifiedSamlTokenTest : public Testing::SuiteTokensTest {
 protected:
  // Through a cache of decoded certificates, as the daemon verifies: every refusal must hold with
  // certificates met before.
  std::shared_ptr<const SamlToken> Create(const std::string& xml,
                                          std::initializer_list<const TestKey*> trusted) {
    CertificateList list;
    for (const TestKey* key : trusted) list.push_back(Tokens().Certificate(*key));
    const CertificateProvider provider = [this, list](const SamlToken* token) {
      askedFor_.push_back(token->GetIssuer());
      return std::make_unique<UnguardedCertificateList>(list);
    };
    return CreateVerifiedSamlToken(xml, provider, kClock, &decoded_);
  }
  std::string RefusalOf(const std::string& xml, std::initializer_list<const TestKey*> trusted) {
    try {
      Create(xml, trusted);
    } catch (const InvalidSignatureException& e) {
      return "signature: " + e.GetMessage();
    } catch (const Basalt::Exception& e) {
      return e.GetMessage();
    }
    return "accepted";
  }

  Basalt::Crypto::CertificateCache decoded_;
  std::vector<std::string> askedFor_;
};

TEST_F(CreateVerifiedSamlTokenTest, AcceptsTokensSignedByATrustedIssuer) {
  const auto token = Create(DefaultSigned(), {&Tokens().Untrusted(), &Tokens().IssuerRsa()});
  EXPECT_EQ(token->GetSubject(), (PrincipalId{"ada", "EXAMPLE.TEST"}));
  EXPECT_EQ(token->GetXml(), DefaultSigned());
  EXPECT_EQ(askedFor_, std::vector<std::string>{"https://sts.example.test/issuer"});
  // The cache hands out the certificate it decoded before.
  EXPECT_EQ(Create(DefaultSigned(), {&Tokens().IssuerRsa()})->GetConfirmationCertificate(),
            token->GetConfirmationCertificate());

  Testing::TokenSpec ec = Tokens().DefaultSpec();
  ec.signatureMethod = Testing::kEcdsaSha256;
  EXPECT_EQ(RefusalOf(Tokens().Signed(ec, Tokens().IssuerEc()), {&Tokens().IssuerEc()}),
            "accepted");
  // A reference to the whole document covers the token too.
  const std::string whole = ReplaceOnce(Tokens().Render(Tokens().DefaultSpec()),
                                        "URI=\"#" + Tokens().DefaultSpec().id + "\"", "URI=\"\"");
  EXPECT_EQ(RefusalOf(Tokens().Sign(whole, Tokens().IssuerRsa()), {&Tokens().IssuerRsa()}),
            "accepted");
}

TEST_F(CreateVerifiedSamlTokenTest, RefusesOtherKeysAndTamperedText) {
  const std::string tampered =
      "signature: Failed to verify signature: token might have been tampered with.";
  const TestKey* rsa = &Tokens().IssuerRsa();
  EXPECT_EQ(RefusalOf(DefaultSigned(), {&Tokens().Untrusted(), &Tokens().IssuerEc()}), tampered);
  EXPECT_EQ(RefusalOf(DefaultSigned(), {}), tampered);
  // The confirmation certificate inside the token is never a signing key.
  EXPECT_EQ(RefusalOf(DefaultSigned(), {&Tokens().Client()}), tampered);
  EXPECT_EQ(RefusalOf(ReplaceOnce(DefaultSigned(), ">ada@", ">adb@"), {rsa}), tampered);
  EXPECT_EQ(RefusalOf(ReplaceOnce(DefaultSigned(), "\\Everyone", "\\Everyonf"), {rsa}), tampered);
  // Whitespace inside a tag is canonicalized away, so only content counts.
  EXPECT_EQ(RefusalOf(ReplaceOnce(DefaultSigned(), "<saml2:Subject>", "<saml2:Subject >"), {rsa}),
            "accepted");
}

TEST_F(CreateVerifiedSamlTokenTest, ChecksTheTokenBeforeAskingForCertificates) {
  Testing::TokenSpec expired = Tokens().DefaultSpec();
  expired.notBefore = DateTime("2020-01-01T10:00:00Z");
  expired.notOnOrAfter = DateTime("2020-01-01T11:00:00Z");
  EXPECT_EQ(RefusalOf(Tokens().Signed(expired, Tokens().IssuerRsa()), {&Tokens().IssuerRsa()}),
            "The token has expired at: 2020-01-01T11:00:00Z");
  Testing::TokenSpec huge = Tokens().DefaultSpec();
  huge.subject = std::string(10'000'000, 'a') + "@EXAMPLE.TEST";
  EXPECT_EQ(RefusalOf(Tokens().Signed(huge, Tokens().IssuerRsa()), {&Tokens().IssuerRsa()}),
            "XML text of more than 10000000 bytes is not accepted");
  EXPECT_TRUE(askedFor_.empty());
}

TEST_F(CreateVerifiedSamlTokenTest, CopiesTheListBeforeReleasingItsHolder) {
  // A holder whose release lets a writer empty the list: verification must use the copy.
  class ClearedOnRelease final : public HeldCertificateList {
   public:
    explicit ClearedOnRelease(CertificateList& list) : list_(list) {}
    ~ClearedOnRelease() override { list_.clear(); }
    const CertificateList& GetList() const override { return list_; }

   private:
    CertificateList& list_;
  };
  CertificateList trusted{Tokens().Certificate(Tokens().IssuerRsa())};
  const CertificateProvider provider = [&trusted](const SamlToken*) {
    return std::make_unique<ClearedOnRelease>(trusted);
  };
  EXPECT_NO_THROW(CreateVerifiedSamlToken(DefaultSigned(), provider, kClock));
  EXPECT_TRUE(trusted.empty());
}

TEST_F(CreateVerifiedSamlTokenTest, GivesBackARememberedTokenOnlyWhileItsTrustAndWindowHold) {
  VerifiedSamlTokenCache remembered(1);
  DateTime now("2030-01-01T10:30:00Z");
  const Basalt::System::UtcClock clock = [&now] { return now; };
  CertificateList trusted{Tokens().Certificate(Tokens().IssuerRsa())};
  const CertificateProvider provider = [&trusted](const SamlToken*) {
    return std::make_unique<UnguardedCertificateList>(trusted);
  };
  const auto create = [&](const std::string& xml) {
    return CreateVerifiedSamlToken(xml, provider, clock, nullptr, &remembered);
  };
  const auto first = create(DefaultSigned());
  EXPECT_EQ(create(DefaultSigned()), first);  // the same object: neither parsed nor verified
  now = DateTime("2030-01-01T11:09:59Z");     // inside the tolerance after NotOnOrAfter
  EXPECT_EQ(create(DefaultSigned()), first);
  now = DateTime("2030-01-01T11:10:00Z");
  try {
    create(DefaultSigned());
    ADD_FAILURE() << "an expired token was given back";
  } catch (const ParseException& e) {
    EXPECT_EQ(e.GetMessage(), "The token has expired at: 2030-01-01T11:00:00Z");
  }
  now = DateTime("2030-01-01T10:30:00Z");
  // A list that changed takes every check.
  trusted = {Tokens().Certificate(Tokens().Untrusted())};
  EXPECT_THROW(create(DefaultSigned()), InvalidSignatureException);
  trusted = {Tokens().Certificate(Tokens().IssuerRsa())};
  const auto again = create(DefaultSigned());
  EXPECT_NE(again, first);
  // One entry: a second token replaces the first.
  Testing::TokenSpec other = Tokens().DefaultSpec();
  other.id = "_other";
  const std::string otherXml = Tokens().Signed(other, Tokens().IssuerRsa());
  const auto second = create(otherXml);
  EXPECT_EQ(create(otherXml), second);
  EXPECT_NE(create(DefaultSigned()), again);
  EXPECT_EQ(remembered.Size(), 1u);
}

}  // namespace
}  // namespace SsoClient
