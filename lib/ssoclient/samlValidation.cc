#include "lib/ssoclient/samlValidation.h"

#include "lib/ssoclient/ssoExceptions.h"

namespace SsoClient {
namespace {

constexpr int64_t kMicrosPerSecond = 1000000;

void CheckDelegation(const ParsedAssertion& assertion) {
  const auto& chain = assertion.conditions.delegationChain;
  if (assertion.delegateId && !chain) {
    throw ParseException(
        "Token SubjectConfirmation contains delegate id, but no delegation restriction is "
        "present");
  }
  if (assertion.delegateId && chain) {
    if (chain->empty() || !(chain->back().nameId == *assertion.delegateId)) {
      throw ParseException(
          "The SubjectConfirmation delegate id does not match the id of the last delegate");
    }
  }
  if (!assertion.delegateId && chain) {
    throw ParseException(
        "Token has delegation restriction, but no delegate id is present in the "
        "SubjectConfirmation");
  }
}

}  // namespace

void CheckAssertionSemantics(const ParsedAssertion& assertion, int64_t toleranceSeconds,
                             Basalt::System::DateTime now) {
  if (assertion.version != "2.0") throw ParseException("Invalid token version");
  if (assertion.id.empty() || assertion.id[0] != '_') throw ParseException("Invalid token ID");

  const auto& conditions = assertion.conditions;
  if (!(conditions.notBefore < conditions.notOnOrAfter)) {
    throw ParseException(
        "Unsatisfiable token validity conditions: NotBefore must be less than NotOnOrAfter.");
  }
  const int64_t tolerance = toleranceSeconds * kMicrosPerSecond;
  if (conditions.notBefore.GetUtcTime() - tolerance > now.GetUtcTime()) {
    throw ParseException("Token start date is in the future: " + conditions.notBefore.ToString());
  }
  if (conditions.notOnOrAfter.GetUtcTime() + tolerance <= now.GetUtcTime()) {
    throw ParseException("The token has expired at: " + conditions.notOnOrAfter.ToString());
  }
  if (assertion.confirmationType == CONFIRMATION_BEARER && assertion.subjectNotOnOrAfter &&
      *assertion.subjectNotOnOrAfter < conditions.notOnOrAfter) {
    throw ParseException("Invalid token subject validity");
  }
  CheckDelegation(assertion);
}

void VerifySignature(const Basalt::Xml::Security::Signature& signature,
                     const Basalt::Xml::Security::KeyResolver& keys) {
  bool verified = false;
  try {
    verified = signature.Verify(keys);
  } catch (const Basalt::Xml::Security::XmlSecurityException& e) {
    throw InvalidSignatureException("Signature verification error. " + e.GetMessage());
  }
  if (!verified) {
    throw InvalidSignatureException(
        "Failed to verify signature: token might have been tampered with.");
  }
}

}  // namespace SsoClient
