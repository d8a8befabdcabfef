// Ids of the security-context schemes a call can present under "schemeId", and the keys of the
// security context each scheme reads.
#pragma once

namespace Orbi::Security {

inline constexpr const char* kUserPassScheme = "com.tessel.orbi.std.security.user_pass";
inline constexpr const char* kOAuthScheme = "com.tessel.orbi.std.security.oauth";
inline constexpr const char* kSamlHokScheme = "com.tessel.orbi.std.security.saml_hok_token";

inline constexpr const char* kSchemeIdKey = "schemeId";
inline constexpr const char* kUserNameKey = "userName";          // user_pass
inline constexpr const char* kPasswordKey = "password";          // user_pass
inline constexpr const char* kAccessTokenKey = "accessToken";    // oauth
inline constexpr const char* kSamlHokTokenKey = "samlHokToken";  // saml_hok_token
inline constexpr const char* kSamlHokAlgorithmKey = "samlHokTokenAlgorithm";
inline constexpr const char* kSignatureTimestampKey = "signatureTimestamp";
inline constexpr const char* kSignatureValueKey = "signatureValue";

}  // namespace Orbi::Security
