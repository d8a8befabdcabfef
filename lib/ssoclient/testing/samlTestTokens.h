// Test support: assertions rendered from the templates under lib/ssoclient/testdata/ and signed
// by the xmlsec1 command with keys made at test time.
#pragma once

#include <string>

#include "platform/basalt/crypto/certificate.h"
#include "platform/basalt/dateTime.h"
#include "platform/basalt/xml/testing/xmlsecSigner.h"

namespace SsoClient::Testing {

using Basalt::Xml::Testing::KeyType;
using Basalt::Xml::Testing::TestKey;

inline constexpr char kRsaSha256[] = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
inline constexpr char kEcdsaSha256[] = "http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha256";

// The variable parts of testdata/assertion.xml. Fragments are XML text placed as they are.
struct TokenSpec {
  std::string id = "_5e1f3c7a-90b2-4d4e-8a61-token";
  Basalt::System::DateTime issueInstant{"2030-01-01T09:59:00Z"};
  Basalt::System::DateTime notBefore{"2030-01-01T10:00:00Z"};
  Basalt::System::DateTime notOnOrAfter{"2030-01-01T11:00:00Z"};
  std::string subject = "ada@EXAMPLE.TEST";
  bool holderOfKey = true;
  std::string confirmationCertificate;   // Base64 DER, holder-of-key only.
  std::string confirmationNotOnOrAfter;  // Bearer only; empty means notOnOrAfter.
  std::string delegateId;                // A saml2:NameID inside SubjectConfirmation.
  std::string conditions;                // Children of Conditions.
  std::string advice;
  std::string attributeStatement;
  std::string signatureMethod = kRsaSha256;
  std::string referenceUri;  // Empty means "#" + id.
};

// The text of testdata/<name>.
std::string Fragment(const std::string& name);

// Replaces the first occurrence of `from`; throws std::runtime_error when it is absent, so that
// a test never silently checks an unchanged document.
std::string ReplaceOnce(std::string text, const std::string& from, const std::string& to);

class SamlTestTokens {
 public:
  SamlTestTokens();

  // Holder-of-key for the client key, with the default conditions and attribute statement.
  TokenSpec DefaultSpec() const;

  // With empty DigestValue and SignatureValue: enough for everything but verification.
  std::string Render(const TokenSpec& spec) const;
  std::string Sign(const std::string& xml, const TestKey& key) const;
  std::string Signed(const TokenSpec& spec, const TestKey& key) const {
    return Sign(Render(spec), key);
  }

  Basalt::Crypto::CertificatePtr Certificate(const TestKey& key) const;

  const TestKey& IssuerRsa() const { return issuerRsa_; }
  const TestKey& IssuerEc() const { return issuerEc_; }
  const TestKey& Untrusted() const { return untrusted_; }
  const TestKey& Client() const { return client_; }
  const Basalt::Xml::Testing::TempDir& Dir() const { return dir_; }

 private:
  Basalt::Xml::Testing::TempDir dir_;
  TestKey issuerRsa_;
  TestKey issuerEc_;
  TestKey untrusted_;
  TestKey client_;
};

}  // namespace SsoClient::Testing
