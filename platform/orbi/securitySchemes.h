// Ids of the security-context schemes a call can present under "schemeId".
#pragma once

namespace Orbi::Security {

inline constexpr const char* kUserPassScheme = "com.tessel.orbi.std.security.user_pass";
inline constexpr const char* kOAuthScheme = "com.tessel.orbi.std.security.oauth";
inline constexpr const char* kSamlHokScheme = "com.tessel.orbi.std.security.saml_hok_token";

}  // namespace Orbi::Security
