// The read-only model of a parsed and validated SAML 2.0 assertion.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/basalt/crypto/certificate.h"
#include "platform/basalt/dateTime.h"
#include "platform/basalt/xml/signature.h"

namespace SsoClient {

// A user (from a UPN: name before the last "@", domain after) or a group.
struct PrincipalId {
  std::string name;
  std::string domain;

  // "{Name: <name>; Domain:<domain>}"
  std::string ToString() const;
  bool operator==(const PrincipalId&) const = default;
};

struct Delegate {
  PrincipalId subject;
  Basalt::System::DateTime delegationInstant;
};

struct AdviceAttribute {
  std::string name;
  std::vector<std::string> values;
};

struct Advice {
  std::string source;
  std::vector<AdviceAttribute> attributes;
};

enum ConfirmationType : int32_t {
  CONFIRMATION_BEARER = 0,
  CONFIRMATION_HOLDER_OF_KEY = 1,
};

struct PersonName {
  std::string givenName;
  std::string surname;
};

// Immutable after construction; every operation is const and safe from several threads.
// Owned through a shared pointer to the implementation, hence no virtual destructor.
class SamlToken {
 public:
  virtual const std::string& GetId() const = 0;
  virtual Basalt::System::DateTime GetStartTime() const = 0;
  virtual Basalt::System::DateTime GetExpirationTime() const = 0;
  virtual const PrincipalId& GetSubject() const = 0;
  virtual bool IsRenewable() const = 0;
  virtual bool IsDelegable() const = 0;
  virtual bool IsSolution() const = 0;
  virtual const PersonName& GetPersonName() const = 0;
  virtual ConfirmationType GetConfirmationType() const = 0;
  virtual std::vector<PrincipalId> GetGroups() const = 0;
  virtual std::vector<Delegate> GetDelegationChain() const = 0;
  virtual std::set<std::string> GetAudience() const = 0;
  virtual std::vector<Advice> GetAdvice() const = 0;
  // Null for bearer tokens.
  virtual const Basalt::Crypto::CertificatePtr& GetConfirmationCertificate() const = 0;
  // A holder-of-key token's SubjectConfirmationData/@NotOnOrAfter; unset when it has none, and
  // for bearer tokens (whose value is checked against the Conditions when parsing). Read only
  // when asked for, so that a token is accepted whatever the value holds by callers that do not
  // ask: throws ParseException, as parsing does for other dates, when the value is not a date.
  virtual std::optional<Basalt::System::DateTime> GetConfirmationExpirationTime() const = 0;
  virtual const std::string& GetIssuer() const = 0;
  virtual const Basalt::Xml::Security::SignaturePtr& GetSignature() const = 0;
  // The text exactly as given to the parser.
  virtual const std::string& GetXml() const = 0;

 protected:
  ~SamlToken() = default;
};

}  // namespace SsoClient
