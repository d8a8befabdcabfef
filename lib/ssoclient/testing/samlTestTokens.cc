#include "lib/ssoclient/testing/samlTestTokens.h"

#include <stdexcept>

namespace SsoClient::Testing {
namespace {

using Basalt::Xml::Testing::GenerateKey;

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

std::string Fragment(const std::string& name) {
  return Basalt::Xml::Testing::ReadTextFile(std::string(NOX_SAML_TESTDATA_DIR) + "/" + name);
}

std::string ReplaceOnce(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("not in the document: " + from);
  return text.replace(at, from.size(), to);
}

SamlTestTokens::SamlTestTokens()
    : issuerRsa_(GenerateKey(dir_, "issuer-rsa", KeyType::kRsa2048)),
      issuerEc_(GenerateKey(dir_, "issuer-ec", KeyType::kEcP256)),
      untrusted_(GenerateKey(dir_, "untrusted", KeyType::kRsa2048)),
      client_(GenerateKey(dir_, "client", KeyType::kEcP256)) {}

TokenSpec SamlTestTokens::DefaultSpec() const {
  TokenSpec spec;
  spec.confirmationCertificate = client_.certDerBase64;
  spec.conditions = Fragment("conditions.xml");
  spec.attributeStatement = Fragment("attributes.xml");
  return spec;
}

std::string SamlTestTokens::Render(const TokenSpec& spec) const {
  std::string confirmation =
      Fragment(spec.holderOfKey ? "confirmation-hok.xml" : "confirmation-bearer.xml");
  confirmation = ReplaceAll(confirmation, "@DELEGATE_ID@", spec.delegateId);
  confirmation =
      ReplaceAll(confirmation, "@CONFIRMATION_CERTIFICATE@", spec.confirmationCertificate);
  confirmation = ReplaceAll(confirmation, "@CONFIRMATION_NOT_ON_OR_AFTER@",
                            spec.confirmationNotOnOrAfter.empty() ? spec.notOnOrAfter.ToString()
                                                                  : spec.confirmationNotOnOrAfter);
  std::string xml = Fragment("assertion.xml");
  xml = ReplaceAll(xml, "@SUBJECT_CONFIRMATION@", confirmation);
  xml = ReplaceAll(xml, "@CONDITIONS@", spec.conditions);
  xml = ReplaceAll(xml, "@ADVICE@", spec.advice);
  xml = ReplaceAll(xml, "@ATTRIBUTE_STATEMENT@", spec.attributeStatement);
  xml = ReplaceAll(xml, "@ID@", spec.id);
  xml = ReplaceAll(xml, "@ISSUE_INSTANT@", spec.issueInstant.ToString());
  xml = ReplaceAll(xml, "@NOT_BEFORE@", spec.notBefore.ToString());
  xml = ReplaceAll(xml, "@NOT_ON_OR_AFTER@", spec.notOnOrAfter.ToString());
  xml = ReplaceAll(xml, "@SUBJECT@", spec.subject);
  xml = ReplaceAll(xml, "@SIGNATURE_METHOD@", spec.signatureMethod);
  return ReplaceAll(xml, "@REFERENCE_URI@",
                    spec.referenceUri.empty() ? "#" + spec.id : spec.referenceUri);
}

std::string SamlTestTokens::Sign(const std::string& xml, const TestKey& key) const {
  return Basalt::Xml::Testing::SignWithXmlsec1(dir_, xml, key,
                                               "urn:oasis:names:tc:SAML:2.0:assertion:Assertion");
}

Basalt::Crypto::CertificatePtr SamlTestTokens::Certificate(const TestKey& key) const {
  return Basalt::Crypto::CreatePEMCertificate(key.certPemText.data(), key.certPemText.size());
}

}  // namespace SsoClient::Testing
