#include "apps/noxtokend/orbi/messageTable.h"

#include <map>

#include "apps/noxtokend/orbi/externalSts/messageIds.h"

namespace Com::Tessel::Nox::Authentication {

namespace {

const std::map<std::string, std::string>& Table() {
  static const std::map<std::string, std::string> table = {
      // Client profiles.
      {MessageIds::kProfileNotFound, "Profile not found {profile}"},
      {MessageIds::kProfileInvalidCreateSpec, "{field} not set"},
      {MessageIds::kProfileUnknownSubjectType, "Unknown subject type"},
      {MessageIds::kProfileInvalidFilterSpec, "Invalid filter specification for method 'List'"},
      {MessageIds::kProfileMultipleFilterSubjects,
       "Invalid filter specification for method 'List' - multiple subjects specified"},
      {MessageIds::kProfileIncompleteFilterSpec,
       "Incomplete filter specification for method 'List', missing {argument}"},
      {MessageIds::kProfileInvalidProjection, "Invalid projection specification for method 'List'"},
      // Trusted issuers.
      {MessageIds::kIssuerAliasNotFound, "Security token issuer alias not found {issuerAlias}"},
      {MessageIds::kIssuerAliasAlreadyExists,
       "Security token issuer alias already exists {issuerAlias}"},
      {MessageIds::kIssuerAlreadyExists,
       "Security token issuer already exists {issuer} saved under alias {issuerAlias}"},
      {MessageIds::kParsingCertificateFailed,
       "Parsing certificate [certificate chain #{chain_index}][certificate #{cert_index}] "
       "failed:\n{cert}\nReason: {message}"},
      {MessageIds::kStandardizingCertificateFailed,
       "Standardizing certificate [certificate chain #{chain_index}][certificate #{cert_index}] "
       "failed:\n{cert}\n"},
      {MessageIds::kStorageUpdateFailed,
       "ConfigStore update for issuer alias {issuerAlias} failed\nReason: {message}"},
      {MessageIds::kUnknownSummaryType, "Unknown summary type"},
      {MessageIds::kIssuerNotFound, "Security token issuer not found {issuer}"},
      // External tokens.
      {MessageIds::kInvalidToken, "Invalid JWT"},
      {MessageIds::kExternalTokenInvalidSignature, "External JWT signature verification failed"},
      {MessageIds::kTokenExpired, "JWT validity expired"},
      {MessageIds::kTooManyAttempts, "Too many failed attempts; try again in {seconds} s"},
      // Token creation.
      {MessageIds::kSigningKeyUnavailable, "The token signing key is not available: {reason}"},
      // Audit trail.
      {MessageIds::kAuditUnavailable, "The audit trail cannot record this call, so it was refused"},
      {MessageIds::kStoreBusy, "Too many changes are waiting to be stored; try again"},
  };
  return table;
}

}  // namespace

std::string GetMessageTemplate(const std::string& id) {
  auto it = Table().find(id);
  return it == Table().end() ? std::string("Unknown message.") : it->second;
}

std::shared_ptr<const Orbi::L10n::Localizer> CreateLocalizer() {
  return std::make_shared<const Orbi::L10n::Localizer>(
      std::vector<std::string>{"en_US"}, GetMessageTemplate, Orbi::L10n::DefaultArgumentFormatter);
}

}  // namespace Com::Tessel::Nox::Authentication
