// The framework's own ids, each written once: the message ids of its localizable messages, the
// qualified names of its standard structures and services, and the security-context schemes a
// call can present under "schemeId" with the keys each scheme reads.
#pragma once

namespace Orbi::Ids {

// Message ids; their default texts are the framework's message table (localizer.cc).
inline constexpr const char* kRecvFailed = "orbi.recv.failed";
inline constexpr const char* kSendFailed = "orbi.send.failed";
inline constexpr const char* kInterfaceAlreadyRegistered =
    "orbi.provider.interface.already.registered";
inline constexpr const char* kServiceNotFound =
    "com.tessel.orbi.std.errors.operation_not_found.service";
inline constexpr const char* kOperationNotFound =
    "com.tessel.orbi.std.errors.operation_not_found.operation";
inline constexpr const char* kInvalidInput = "com.tessel.orbi.std.errors.invalid_input";
inline constexpr const char* kInternal = "com.tessel.orbi.std.errors.internal";

// Standard structures. An error value is named by this prefix and its kind ("not_found", ...).
inline constexpr const char* kErrorNamePrefix = "com.tessel.orbi.std.errors.";
inline constexpr const char* kLocalizableMessage = "com.tessel.orbi.std.localizable_message";

// The introspection services every local provider offers.
inline constexpr const char* kIntrospectionProvider = "com.tessel.orbi.std.introspection.provider";
inline constexpr const char* kIntrospectionService = "com.tessel.orbi.std.introspection.service";
inline constexpr const char* kIntrospectionOperation =
    "com.tessel.orbi.std.introspection.operation";

}  // namespace Orbi::Ids

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
