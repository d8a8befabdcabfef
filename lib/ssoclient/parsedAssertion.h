// The values of an assertion as read by the parser, before validation and assembly.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lib/ssoclient/samlToken.h"

namespace SsoClient {

struct NameIdValue {
  std::string format;
  std::string value;
  bool operator==(const NameIdValue&) const = default;
};

struct ParsedAttribute {
  std::string name;
  std::string nameFormat;
  std::string friendlyName;
  std::vector<std::string> values;
};

struct ParsedDelegate {
  Basalt::System::DateTime delegationInstant;
  NameIdValue nameId;
};

struct ParsedConditions {
  Basalt::System::DateTime notBefore;
  Basalt::System::DateTime notOnOrAfter;
  std::optional<std::vector<ParsedDelegate>> delegationChain;
  std::optional<std::set<std::string>> audience;
  std::optional<int64_t> proxyCount;  // Set exactly when a ProxyRestriction is present.
  bool hasRenewRestriction = false;
  std::optional<int64_t> renewCount;
};

struct ParsedAssertion {
  std::string version;
  std::string id;
  Basalt::System::DateTime issueInstant;
  NameIdValue issuer;
  Basalt::Xml::Security::SignaturePtr signature;
  NameIdValue subjectNameId;
  ConfirmationType confirmationType = CONFIRMATION_BEARER;
  std::optional<NameIdValue> delegateId;
  std::optional<Basalt::System::DateTime> subjectNotOnOrAfter;  // Bearer tokens only.
  Basalt::Crypto::CertificatePtr confirmationCertificate;       // Holder-of-key tokens only.
  // Holder-of-key tokens only, as written: read when asked for, not when parsing.
  std::optional<std::string> confirmationNotOnOrAfter;
  ParsedConditions conditions;
  std::optional<std::vector<Advice>> advice;
  Basalt::System::DateTime authnInstant;
  std::string authnContextClassRef;
  std::vector<ParsedAttribute> attributes;
};

}  // namespace SsoClient
