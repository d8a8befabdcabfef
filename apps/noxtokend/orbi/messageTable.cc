#include "apps/noxtokend/orbi/messageTable.h"

#include <map>

namespace Com::Tessel::Nox::Authentication {

namespace {

const std::map<std::string, std::string>& Table() {
  static const std::map<std::string, std::string> table = {
      // Client profiles.
      {"com.tessel.nox.authentication.client_profiles.not_found", "Profile not found {profile}"},
      {"com.tessel.nox.authentication.client_profiles.invalid_createspec", "{field} not set"},
      {"com.tessel.nox.authentication.client_profiles.unknown_subject_type",
       "Unknown subject type"},
      {"com.tessel.nox.authentication.client_profiles.invalid_filterspec",
       "Invalid filter specification for method 'List'"},
      {"com.tessel.nox.authentication.client_profiles.multiple_filter_subjects",
       "Invalid filter specification for method 'List' - multiple subjects specified"},
      {"com.tessel.nox.authentication.client_profiles.incomplete_filterspec",
       "Incomplete filter specification for method 'List', missing {argument}"},
      {"com.tessel.nox.authentication.client_profiles.invalid_projection",
       "Invalid projection specification for method 'List'"},
      // Trusted issuers.
      {"com.tessel.nox.authentication.trust.security_token_issuers.not_found",
       "Security token issuer alias not found {issuerAlias}"},
      {"com.tessel.nox.authentication.trust.security_token_issuers.alias_already_exists",
       "Security token issuer alias already exists {issuerAlias}"},
      {"com.tessel.nox.authentication.trust.security_token_issuers.issuer_already_exists",
       "Security token issuer already exists {issuer} saved under alias {issuerAlias}"},
      {"com.tessel.nox.authentication.trust.security_token_issuers.parsing_certificate_failed",
       "Parsing certificate [certificate chain #{chain_index}][certificate #{cert_index}] "
       "failed:\n{cert}\nReason: {message}"},
      {"com.tessel.nox.authentication.trust.security_token_issuers."
       "standardizing_certificate_failed",
       "Standardizing certificate [certificate chain #{chain_index}][certificate #{cert_index}] "
       "failed:\n{cert}\n"},
      {"com.tessel.nox.authentication.trust.security_token_issuers.storage_update_failed",
       "ConfigStore update for issuer alias {issuerAlias} failed\nReason: {message}"},
      {"com.tessel.nox.authentication.trust.security_token_issuers.unknown_summary_type",
       "Unknown summary type"},
      {"com.tessel.nox.authentication.trust.security_token_issuers.issuer_not_found",
       "Security token issuer not found {issuer}"},
      // External tokens.
      {"com.tessel.nox.authentication.invalid_token", "Invalid JWT"},
      {"com.tessel.nox.authentication.external_token_invalid_signature",
       "External JWT signature verification failed"},
      {"com.tessel.nox.authentication.token_expired", "JWT validity expired"},
      // Token creation.
      {"com.tessel.nox.authentication.token.signing_key_unavailable",
       "The token signing key is not available: {reason}"},
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
