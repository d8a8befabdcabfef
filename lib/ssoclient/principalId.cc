#include "lib/ssoclient/principalId.h"

#include "lib/ssoclient/samlConstants.h"
#include "lib/ssoclient/ssoExceptions.h"

namespace SsoClient {

std::string PrincipalId::ToString() const { return "{Name: " + name + "; Domain:" + domain + "}"; }

PrincipalId PrincipalFromUpnNameId(const NameIdValue& nameId) {
  if (nameId.format != Saml::kUpnFormat) {
    throw ParseException("Invalid or unsupported NameId format '" + nameId.format + "'");
  }
  const std::string& value = nameId.value;
  const size_t at = value.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == value.size()) {
    throw ParseException("Failed to parse the UPN NameID: `" + value +
                         "'; name or domain part is missing.");
  }
  return PrincipalId{value.substr(0, at), value.substr(at + 1)};
}

PrincipalId PrincipalFromGroupIdentity(const std::string& value) {
  const size_t slash = value.find('\\');
  if (slash == std::string::npos || slash == 0 || slash + 1 == value.size()) {
    throw ParseException("Failed to parse Group Identity value: `" + value +
                         "'; domain or group missing");
  }
  return PrincipalId{value.substr(slash + 1), value.substr(0, slash)};
}

}  // namespace SsoClient
