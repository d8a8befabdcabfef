#include "tools/noxtokenctl/refusalHints.h"

#include "platform/authn/unverifiedClaims.h"
#include "platform/bindings/clientProfilesSvc.h"
#include "platform/orbi/frameworkIds.h"
#include "tools/noxtokenctl/commandInput.h"
#include "tools/noxtokenctl/tokenCache.h"

namespace NoxCtl {
namespace {

namespace Security = Orbi::Security;

std::string ContextValue(const RefusedCall& call, const char* key) {
  for (const auto& [name, value] : call.securityCtx) {
    if (name == key) return value;
  }
  return "";
}

std::string LogPointer(const RefusedCall& call) {
  return "the daemon's log gives the reason under op id " + call.opId;
}

}  // namespace

bool IsDaemonToken(const std::string& token) {
  const auto claims = Nox::Authn::ReadUnverifiedClaims(token);
  return claims && json_is_string(json_object_get(claims.get(), "username")) &&
         json_object_get(claims.get(), "iss") == nullptr;
}

std::string RefusalHint(const json_t& error, const RefusedCall& call) {
  const std::string type = StringMember(&error, "error_type");
  const bool withMessage = json_array_size(json_object_get(&error, "messages")) > 0;
  if (call.securityCtx.empty()) {
    return "no credential was sent; log in with: noxtokenctl login --user NAME";
  }
  // The daemon names no profile here: a subject has at most one, so the caller's is taken.
  if (type == "ALREADY_EXISTS" && !withMessage && call.operation == "create" &&
      call.service == Com::Tessel::Nox::Authentication::ClientProfilesSvc::kServiceId) {
    return "this subject already has a profile (noxtokenctl profile list shows it); change its "
           "grants with noxtokenctl profile set, grant or revoke";
  }
  // "root" for "LU###root" is the usual slip of a first session.
  if (type == "NOT_FOUND" &&
      call.service == Com::Tessel::Nox::Authentication::ClientProfilesSvc::kServiceId) {
    return "a profile is named by its kind and subject, as LU###root for the local user root; "
           "noxtokenctl profile list shows the names";
  }
  if (type != "UNAUTHENTICATED" && type != "UNAUTHORIZED") return "";
  const std::string scheme = ContextValue(call, Security::kSchemeIdKey);
  if (scheme == Security::kUserPassScheme) return "the user name or password was refused";
  // The daemon's refusal is the same for every cause, a replayed proof included.
  if (scheme == Security::kSamlHokScheme) {
    return "the SAML assertion or its proof was refused: check that its issuer is registered "
           "with the chain that signed it (noxtokenctl issuer list), that it is within its "
           "validity period, and that --key is its confirmation certificate's key; each proof "
           "is accepted once: sign each call anew; " +
           LogPointer(call);
  }
  const bool daemonToken = IsDaemonToken(ContextValue(call, Security::kAccessTokenKey));
  const std::string origin = call.credentialOrigin.empty() ? "the token" : call.credentialOrigin;
  if (type == "UNAUTHENTICATED") {
    if (daemonToken) {
      return "the daemon token from " + origin +
             " was refused; get a new one with: noxtokenctl login --user NAME";
    }
    return "the external token from " + origin +
           " was refused: check that its issuer is registered (noxtokenctl issuer list) with "
           "the chain that signed it and that it has not expired" +
           (withMessage ? "" : "; " + LogPointer(call));
  }
  if (call.operation == "create" && daemonToken) {
    return "a token of this daemon cannot obtain another one; use --user, --saml, or --token "
           "with an external issuer's token";
  }
  if (!daemonToken) {
    return "an external issuer's token only obtains daemon tokens; exchange it with: "
           "noxtokenctl --token TOKEN token create";
  }
  return "managing profiles and issuers needs a daemon token whose entitlements include "
         "HOST:ADMINISTRATOR (noxtokenctl token inspect shows them); " +
         LogPointer(call);
}

}  // namespace NoxCtl
