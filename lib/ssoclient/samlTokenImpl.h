// The SamlToken built by parsing and checking an assertion's text (the signature is verified
// separately, through GetSignature; see CreateVerifiedSamlToken).
#pragma once

#include <cstdint>
#include <memory>

#include "lib/ssoclient/samlToken.h"
#include "platform/basalt/crypto/certificateCache.h"

namespace SsoClient {

struct ParsedAssertion;

class SamlTokenImpl final : public SamlToken {
 public:
  // Parses, checks with `toleranceSeconds` of clock skew at both ends of the validity window
  // against `clock`, and assembles. Throws ParseException, or a Basalt::Exception for malformed
  // XML and undecodable certificate data. The confirmation certificate is decoded through
  // `certificates` when one is given.
  SamlTokenImpl(const std::string& xml, int64_t toleranceSeconds,
                const Basalt::System::UtcClock& clock = Basalt::System::SystemUtcClock(),
                Basalt::Crypto::CertificateCache* certificates = nullptr);
  ~SamlTokenImpl() = default;

  const std::string& GetId() const override { return id_; }
  Basalt::System::DateTime GetStartTime() const override { return startTime_; }
  Basalt::System::DateTime GetExpirationTime() const override { return expirationTime_; }
  const PrincipalId& GetSubject() const override { return *subject_; }
  bool IsRenewable() const override { return renewable_; }
  bool IsDelegable() const override { return delegable_; }
  bool IsSolution() const override { return isSolution_; }
  const PersonName& GetPersonName() const override { return personName_; }
  ConfirmationType GetConfirmationType() const override { return confirmationType_; }
  std::vector<PrincipalId> GetGroups() const override { return groups_; }
  std::vector<Delegate> GetDelegationChain() const override { return delegationChain_; }
  std::set<std::string> GetAudience() const override { return audience_; }
  std::vector<Advice> GetAdvice() const override { return advice_; }
  const Basalt::Crypto::CertificatePtr& GetConfirmationCertificate() const override {
    return confirmationCertificate_;
  }
  std::optional<Basalt::System::DateTime> GetConfirmationExpirationTime() const override;
  const std::string& GetIssuer() const override { return issuer_; }
  const Basalt::Xml::Security::SignaturePtr& GetSignature() const override { return signature_; }
  const std::string& GetXml() const override { return xml_; }

 private:
  void Assemble(const ParsedAssertion& parsed);
  void ApplyAttribute(const std::string& name, const std::vector<std::string>& values);

  std::string xml_;
  std::string id_;
  Basalt::System::DateTime startTime_;
  Basalt::System::DateTime expirationTime_;
  std::unique_ptr<PrincipalId> subject_;
  bool renewable_ = false;
  bool delegable_ = false;
  bool isSolution_ = false;
  PersonName personName_;
  std::vector<PrincipalId> groups_;
  std::vector<Delegate> delegationChain_;
  std::set<std::string> audience_;
  std::vector<Advice> advice_;
  ConfirmationType confirmationType_ = CONFIRMATION_BEARER;
  Basalt::Crypto::CertificatePtr confirmationCertificate_;
  std::optional<std::string> confirmationNotOnOrAfter_;  // As written.
  std::string issuer_;
  Basalt::Xml::Security::SignaturePtr signature_;
};

}  // namespace SsoClient
