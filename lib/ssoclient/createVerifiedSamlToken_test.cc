#include "lib/ssoclient/createVerifiedSamlToken.h"

#include <gtest/gtest.h>

#include "lib/ssoclient/testing/samlTestTokens.h"

namespace SsoClient {
namespace {

using Basalt::System::DateTime;
using Testing::ReplaceOnce;
using Testing::TokenSpec;

const DateTime kNow("2030-01-01T10:30:00Z");

class CreateVerifiedSamlTokenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tokens_ = new Testing::SamlTestTokens();
    rsaSigned_ = new std::string(tokens_->Signed(tokens_->DefaultSpec(), tokens_->IssuerRsa()));
  }
  static void TearDownTestSuite() {
    delete rsaSigned_;
    delete tokens_;
  }

  Basalt::Crypto::CertificateCache decoded_;

  void Trust(std::initializer_list<const Testing::TestKey*> keys) {
    trusted_.clear();
    for (const Testing::TestKey* key : keys) trusted_.push_back(tokens_->Certificate(*key));
  }

  std::shared_ptr<const SamlToken> Create(const std::string& xml, DateTime now = kNow) {
    const CertificateProvider provider = [this](const SamlToken* token) {
      ++providerCalls_;
      askedIssuer_ = token->GetIssuer();
      return std::make_unique<UnguardedCertificateList>(trusted_);
    };
    // Through a cache of decoded certificates, as the daemon verifies: every refusal below must
    // hold with certificates met before.
    return CreateVerifiedSamlToken(xml, provider, Basalt::System::FixedUtcClock(now), &decoded_);
  }

  template <class E>
  std::string RefusalOf(const std::string& xml, DateTime now = kNow) {
    try {
      Create(xml, now);
    } catch (const E& e) {
      return e.GetMessage();
    } catch (const std::exception& e) {
      return std::string("unexpected exception: ") + e.what();
    }
    return "accepted";
  }

  static Testing::SamlTestTokens* tokens_;
  static std::string* rsaSigned_;
  CertificateList trusted_;
  int providerCalls_ = 0;
  std::string askedIssuer_;
};

Testing::SamlTestTokens* CreateVerifiedSamlTokenTest::tokens_;
std::string* CreateVerifiedSamlTokenTest::rsaSigned_;

TEST_F(CreateVerifiedSamlTokenTest, AcceptsTokensSignedByATrustedIssuer) {
  Trust({&tokens_->Untrusted(), &tokens_->IssuerRsa()});
  const auto token = Create(*rsaSigned_);
  EXPECT_EQ(token->GetSubject(), (PrincipalId{"ada", "EXAMPLE.TEST"}));
  EXPECT_EQ(token->GetXml(), *rsaSigned_);
  EXPECT_EQ(providerCalls_, 1);
  EXPECT_EQ(askedIssuer_, "https://sts.example.test/issuer");
  EXPECT_EQ(Create(*rsaSigned_)->GetConfirmationCertificate(), token->GetConfirmationCertificate());

  TokenSpec ec = tokens_->DefaultSpec();
  ec.signatureMethod = Testing::kEcdsaSha256;
  Trust({&tokens_->IssuerEc()});
  EXPECT_EQ(Create(tokens_->Signed(ec, tokens_->IssuerEc()))->GetConfirmationType(),
            CONFIRMATION_HOLDER_OF_KEY);

  const TokenSpec spec = tokens_->DefaultSpec();
  const std::string text =
      ReplaceOnce(tokens_->Render(spec), "URI=\"#" + spec.id + "\"", "URI=\"\"");
  Trust({&tokens_->IssuerRsa()});
  EXPECT_EQ(RefusalOf<InvalidTokenException>(tokens_->Sign(text, tokens_->IssuerRsa())),
            "accepted");
}

TEST_F(CreateVerifiedSamlTokenTest, RefusesSignaturesOfOtherKeys) {
  const std::string tampered = "Failed to verify signature: token might have been tampered with.";
  Trust({&tokens_->Untrusted(), &tokens_->IssuerEc()});
  EXPECT_EQ(RefusalOf<InvalidSignatureException>(*rsaSigned_), tampered);
  Trust({});
  EXPECT_EQ(RefusalOf<InvalidSignatureException>(*rsaSigned_), tampered);
  // The confirmation certificate inside the token is never a signing key.
  Trust({&tokens_->Client()});
  EXPECT_EQ(RefusalOf<InvalidSignatureException>(*rsaSigned_), tampered);
}

TEST_F(CreateVerifiedSamlTokenTest, RefusesTamperedTokens) {
  Trust({&tokens_->IssuerRsa()});
  const std::string tampered = "Failed to verify signature: token might have been tampered with.";
  EXPECT_EQ(RefusalOf<InvalidSignatureException>(
                ReplaceOnce(*rsaSigned_, ">ada@EXAMPLE.TEST<", ">adb@EXAMPLE.TEST<")),
            tampered);
  EXPECT_EQ(RefusalOf<InvalidSignatureException>(
                ReplaceOnce(*rsaSigned_, "EXAMPLE.TEST\\Everyone", "EXAMPLE.TEST\\Everyonf")),
            tampered);
  // Whitespace outside the signed text is canonicalized alike, so only content counts.
  EXPECT_EQ(RefusalOf<InvalidSignatureException>(
                ReplaceOnce(*rsaSigned_, "<saml2:Subject>", "<saml2:Subject >")),
            "accepted");
}

TEST_F(CreateVerifiedSamlTokenTest, RefusesASignedTextOverTheParserLimitNamingTheLimit) {
  Trust({&tokens_->IssuerRsa()});
  TokenSpec huge = tokens_->DefaultSpec();
  huge.subject = std::string(10'000'000, 'a') + "@EXAMPLE.TEST";
  EXPECT_EQ(RefusalOf<Basalt::Exception>(tokens_->Signed(huge, tokens_->IssuerRsa())),
            "XML text of more than 10000000 bytes is not accepted");
  EXPECT_EQ(providerCalls_, 0);
}

TEST_F(CreateVerifiedSamlTokenTest, ChecksTokenBeforeAskingForCertificates) {
  Trust({&tokens_->IssuerRsa()});
  TokenSpec expired = tokens_->DefaultSpec();
  expired.notBefore = DateTime("2020-01-01T10:00:00Z");
  expired.notOnOrAfter = DateTime("2020-01-01T11:00:00Z");
  EXPECT_EQ(RefusalOf<ParseException>(tokens_->Signed(expired, tokens_->IssuerRsa())),
            "The token has expired at: 2020-01-01T11:00:00Z");
  EXPECT_EQ(providerCalls_, 0);

  const DateTime end("2030-01-01T11:00:00Z");
  EXPECT_EQ(RefusalOf<ParseException>(
                *rsaSigned_, DateTime::FromUtcMicroseconds(end.GetUtcTime() + 599 * 1000000)),
            "accepted");
  EXPECT_EQ(RefusalOf<ParseException>(
                *rsaSigned_, DateTime::FromUtcMicroseconds(end.GetUtcTime() + 600 * 1000000)),
            "The token has expired at: 2030-01-01T11:00:00Z");
}

TEST_F(CreateVerifiedSamlTokenTest, RefusesWrappingAndInjection) {
  Trust({&tokens_->IssuerRsa()});
  const std::string assertion = rsaSigned_->substr(rsaSigned_->find("<saml2:Assertion"));
  EXPECT_EQ(RefusalOf<ParseException>("<Response>" + assertion + "</Response>"),
            "Expected element 'Assertion' not found.");
  // A comment in signed text leaves the digest unchanged but splits the value.
  EXPECT_EQ(RefusalOf<ParseException>(
                ReplaceOnce(*rsaSigned_, ">ada@EXAMPLE.TEST<", ">ada<!---->@EXAMPLE.TEST<")),
            "Element 'NameID' must only have textual content (but has extra children or is "
            "empty).");
  // A second, forged assertion carrying the signed one's ID.
  const std::string forged = ReplaceOnce(assertion, "ada@", "eve@");
  EXPECT_EQ(RefusalOf<ParseException>(
                ReplaceOnce(*rsaSigned_, "<saml2:AuthnStatement ",
                            "<saml2:Advice>" + forged + "</saml2:Advice><saml2:AuthnStatement ")),
            "Signature syntax error: Duplicate ID '" + tokens_->DefaultSpec().id + "'");
  EXPECT_EQ(RefusalOf<ParseException>(
                ReplaceOnce(*rsaSigned_, "<saml2:Audience>",
                            "<saml2:Audience ID=\"" + tokens_->DefaultSpec().id + "\">")),
            "Signature syntax error: Duplicate ID '" + tokens_->DefaultSpec().id + "'");
  const std::string xxe = "<!DOCTYPE a [<!ENTITY x SYSTEM \"file://" +
                          (tokens_->Dir().Path() / "secret").string() + "\">]>" + assertion;
  EXPECT_EQ(RefusalOf<Basalt::Exception>(xxe), "XML document type declarations are not accepted");
  EXPECT_EQ(providerCalls_, 0);
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
  Trust({&tokens_->IssuerRsa()});
  const CertificateProvider provider = [this](const SamlToken*) {
    return std::make_unique<ClearedOnRelease>(trusted_);
  };
  EXPECT_NO_THROW(
      CreateVerifiedSamlToken(*rsaSigned_, provider, Basalt::System::FixedUtcClock(kNow)));
  EXPECT_TRUE(trusted_.empty());
}

TEST_F(CreateVerifiedSamlTokenTest, EmptyIdIsAnInvalidTokenId) {
  Trust({&tokens_->IssuerRsa()});
  TokenSpec spec = tokens_->DefaultSpec();
  spec.id = "";
  spec.referenceUri = "#";
  EXPECT_EQ(RefusalOf<ParseException>(tokens_->Render(spec)), "Invalid token ID");
  spec.referenceUri = "";
  const std::string wholeDocument = ReplaceOnce(tokens_->Render(spec), "URI=\"#\"", "URI=\"\"");
  EXPECT_EQ(RefusalOf<ParseException>(tokens_->Sign(wholeDocument, tokens_->IssuerRsa())),
            "Invalid token ID");
}

TEST_F(CreateVerifiedSamlTokenTest, SignatureOverAnotherElementIsRefused) {
  Trust({&tokens_->IssuerRsa()});
  TokenSpec spec = tokens_->DefaultSpec();
  spec.referenceUri = "#_subject";
  std::string text =
      ReplaceOnce(tokens_->Render(spec), "<saml2:Subject>", "<saml2:Subject xml:id=\"_subject\">");
  const std::string signedText = tokens_->Sign(text, tokens_->IssuerRsa());
  EXPECT_EQ(RefusalOf<ParseException>(signedText), "Token's signature must cover the entire token");
}

}  // namespace
}  // namespace SsoClient
