// Namespaces and names of the SAML 2.0 profile this library accepts.
#pragma once

#include <string_view>

namespace SsoClient::Saml {

inline constexpr std::string_view kAssertionNs = "urn:oasis:names:tc:SAML:2.0:assertion";
inline constexpr std::string_view kDelegationNs =
    "urn:oasis:names:tc:SAML:2.0:conditions:delegation";
inline constexpr std::string_view kDsigNs = "http://www.w3.org/2000/09/xmldsig#";
inline constexpr std::string_view kXsiNs = "http://www.w3.org/2001/XMLSchema-instance";

// The token issuer's own extensions (RSAAdvice, RenewRestrictionType).
inline constexpr std::string_view kExtensionNs = "urn:tessel:sts:saml:extensions";

inline constexpr std::string_view kBearerMethod = "urn:oasis:names:tc:SAML:2.0:cm:bearer";
inline constexpr std::string_view kHolderOfKeyMethod =
    "urn:oasis:names:tc:SAML:2.0:cm:holder-of-key";

inline constexpr std::string_view kUpnFormat = "http://schemas.xmlsoap.org/claims/UPN";

inline constexpr std::string_view kGroupIdentityAttribute =
    "urn:tessel:sts:attributes:groupIdentity";
inline constexpr std::string_view kIsSolutionAttribute = "urn:tessel:sts:attributes:isSolution";
inline constexpr std::string_view kGivenNameAttribute =
    "http://schemas.xmlsoap.org/ws/2005/05/identity/claims/givenname";
inline constexpr std::string_view kSurnameAttribute =
    "http://schemas.xmlsoap.org/ws/2005/05/identity/claims/surname";

}  // namespace SsoClient::Saml
