// The daemon's message ids, each written once; their default texts are the message table
// (apps/noxtokend/orbi/messageTable.cc). Kept at the lowest layer of the daemon that uses them.
#pragma once

#include "platform/authn/tokenHandler.h"

namespace Com::Tessel::Nox::Authentication::MessageIds {

// Client profiles.
inline constexpr const char* kProfileNotFound =
    "com.tessel.nox.authentication.client_profiles.not_found";
inline constexpr const char* kProfileInvalidCreateSpec =
    "com.tessel.nox.authentication.client_profiles.invalid_createspec";
inline constexpr const char* kProfileUnknownSubjectType =
    "com.tessel.nox.authentication.client_profiles.unknown_subject_type";
inline constexpr const char* kProfileInvalidFilterSpec =
    "com.tessel.nox.authentication.client_profiles.invalid_filterspec";
inline constexpr const char* kProfileMultipleFilterSubjects =
    "com.tessel.nox.authentication.client_profiles.multiple_filter_subjects";
inline constexpr const char* kProfileIncompleteFilterSpec =
    "com.tessel.nox.authentication.client_profiles.incomplete_filterspec";
inline constexpr const char* kProfileInvalidProjection =
    "com.tessel.nox.authentication.client_profiles.invalid_projection";

// Trusted issuers.
inline constexpr const char* kIssuerAliasNotFound =
    "com.tessel.nox.authentication.trust.security_token_issuers.not_found";
inline constexpr const char* kIssuerAliasAlreadyExists =
    "com.tessel.nox.authentication.trust.security_token_issuers.alias_already_exists";
inline constexpr const char* kIssuerAlreadyExists =
    "com.tessel.nox.authentication.trust.security_token_issuers.issuer_already_exists";
inline constexpr const char* kParsingCertificateFailed =
    "com.tessel.nox.authentication.trust.security_token_issuers.parsing_certificate_failed";
inline constexpr const char* kStandardizingCertificateFailed =
    "com.tessel.nox.authentication.trust.security_token_issuers.standardizing_certificate_failed";
inline constexpr const char* kStorageUpdateFailed =
    "com.tessel.nox.authentication.trust.security_token_issuers.storage_update_failed";
inline constexpr const char* kUnknownSummaryType =
    "com.tessel.nox.authentication.trust.security_token_issuers.unknown_summary_type";
inline constexpr const char* kIssuerNotFound =
    "com.tessel.nox.authentication.trust.security_token_issuers.issuer_not_found";

// Token refusals; the own-token handler of the platform names the first and last.
inline constexpr const char* kInvalidToken = ::Nox::Authn::TokenHandler::kInvalidTokenMessage;
inline constexpr const char* kExternalTokenInvalidSignature =
    "com.tessel.nox.authentication.external_token_invalid_signature";
inline constexpr const char* kTokenExpired = ::Nox::Authn::TokenHandler::kTokenExpiredMessage;

// Password attempts of a caller that failed too often for a user.
inline constexpr const char* kTooManyAttempts = "com.tessel.nox.authentication.too_many_attempts";

// Token creation.
inline constexpr const char* kSigningKeyUnavailable =
    "com.tessel.nox.authentication.token.signing_key_unavailable";

// A call refused because its audit record cannot be written.
inline constexpr const char* kAuditUnavailable = "com.tessel.nox.authentication.audit_unavailable";
inline constexpr const char* kStoreBusy = "com.tessel.nox.authentication.store_busy";

}  // namespace Com::Tessel::Nox::Authentication::MessageIds
