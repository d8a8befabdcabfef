#include "lib/ssoclient/samlTokenImpl.h"

#include <algorithm>
#include <cctype>

#include "lib/ssoclient/elementRules.h"
#include "lib/ssoclient/principalId.h"
#include "lib/ssoclient/samlConstants.h"
#include "lib/ssoclient/samlParser.h"
#include "lib/ssoclient/samlValidation.h"
#include "lib/ssoclient/ssoExceptions.h"

namespace SsoClient {
namespace {

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

SamlTokenImpl::SamlTokenImpl(const std::string& xml, int64_t toleranceSeconds,
                             const Basalt::System::UtcClock& clock,
                             Basalt::Crypto::CertificateCache* certificates)
    : xml_(xml) {
  const ParsedAssertion parsed = ParseAssertion(xml_, certificates);
  CheckAssertionSemantics(parsed, toleranceSeconds, clock());
  Assemble(parsed);
}

void SamlTokenImpl::Assemble(const ParsedAssertion& parsed) {
  id_ = parsed.id;
  issuer_ = parsed.issuer.value;
  signature_ = parsed.signature;
  subject_ = std::make_unique<PrincipalId>(PrincipalFromUpnNameId(parsed.subjectNameId));
  startTime_ = parsed.conditions.notBefore;
  expirationTime_ = parsed.conditions.notOnOrAfter;
  confirmationType_ = parsed.confirmationType;
  confirmationCertificate_ = parsed.confirmationCertificate;
  confirmationNotOnOrAfter_ = parsed.confirmationNotOnOrAfter;
  renewable_ = parsed.conditions.hasRenewRestriction && parsed.conditions.renewCount &&
               *parsed.conditions.renewCount != 0;
  delegable_ = parsed.conditions.proxyCount && *parsed.conditions.proxyCount != 0;
  if (parsed.advice) advice_ = *parsed.advice;
  for (const ParsedAttribute& attribute : parsed.attributes) {
    ApplyAttribute(attribute.name, attribute.values);
  }
  if (parsed.conditions.delegationChain) {
    for (const ParsedDelegate& delegate : *parsed.conditions.delegationChain) {
      delegationChain_.push_back(
          Delegate{PrincipalFromUpnNameId(delegate.nameId), delegate.delegationInstant});
    }
  }
  if (parsed.conditions.audience) audience_ = *parsed.conditions.audience;
}

std::optional<Basalt::System::DateTime> SamlTokenImpl::GetConfirmationExpirationTime() const {
  if (!confirmationNotOnOrAfter_) return std::nullopt;
  return Rules::DateText(*confirmationNotOnOrAfter_, "SubjectConfirmationData/@NotOnOrAfter");
}

void SamlTokenImpl::ApplyAttribute(const std::string& name,
                                   const std::vector<std::string>& values) {
  if (name == Saml::kGroupIdentityAttribute) {
    for (const std::string& value : values) groups_.push_back(PrincipalFromGroupIdentity(value));
  } else if (name == Saml::kIsSolutionAttribute) {
    if (values.empty()) throw ParseException("No value found for attribute isSolution.");
    if (values.size() > 1)
      throw ParseException("More than one value found for attribute isSolution.");
    isSolution_ = EqualsIgnoringAsciiCase(values[0], "true");
  } else if (name == Saml::kGivenNameAttribute) {
    personName_.givenName = values.empty() ? "" : values[0];
  } else if (name == Saml::kSurnameAttribute) {
    personName_.surname = values.empty() ? "" : values[0];
  }
}

}  // namespace SsoClient
