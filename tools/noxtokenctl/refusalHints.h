// The one hint shown after the daemon's own error text: what the caller can do or check, chosen
// by the error, the credential that was sent and the operation.
#pragma once

#include <jansson.h>

#include <string>
#include <utility>
#include <vector>

namespace NoxCtl {

struct RefusedCall {
  std::string service;
  std::string operation;
  std::vector<std::pair<std::string, std::string>> securityCtx;  // as sent; empty: none
  std::string credentialOrigin;  // "--token", "NOXTOKEN_TOKEN", "the saved token" or ""
  std::string opId;              // the call's operation id, as the daemon logs it
};

// A line without the "noxtokenctl: " prefix, or "" when the error needs no hint.
std::string RefusalHint(const json_t& error, const RefusedCall& call);

// True for a token that this daemon issues: a "username" claim and no "iss". External issuers'
// tokens name their issuer.
bool IsDaemonToken(const std::string& token);

}  // namespace NoxCtl
