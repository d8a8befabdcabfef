// Turning the identity texts of a token into PrincipalIds.
#pragma once

#include <string>

#include "lib/ssoclient/parsedAssertion.h"

namespace SsoClient {

// A UPN-formatted NameID: name before the last "@", domain after. Throws ParseException.
PrincipalId PrincipalFromUpnNameId(const NameIdValue& nameId);

// A group identity value "domain\name", split at the first backslash. Throws ParseException.
PrincipalId PrincipalFromGroupIdentity(const std::string& value);

}  // namespace SsoClient
