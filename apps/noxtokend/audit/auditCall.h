// What a record says about the call that needs it: when, which call, from which host user, and
// who the caller is by the authentication data its handler left.
//
// Stateless functions; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "apps/noxtokend/audit/auditRecord.h"
#include "platform/orbi/provider.h"

namespace NoxToken::Audit {

// Unix time now in milliseconds, as records carry it.
int64_t RecordTimeNow();

// A record of `event` for the call: its time, the operation id of the thread's log context, the
// calling host user when known, and the scheme and subject of its authentication data
// ("none" and no subject before a handler has authenticated it).
Record NewRecord(Event event, const Orbi::Core::ExecutionContext& context);

// The id of the error's first message, else its qualified error name
// ("com.tessel.orbi.std.errors.unauthorized").
std::string RefusalReason(const Orbi::Data::ErrorValue& error);

// Claims of a compact JWT, read without checking its signature: what a refused token claimed, or
// what a token just issued carries.
struct TokenClaims {
  std::optional<std::string> user;                       // "username"
  std::optional<std::string> issuer;                     // "iss"
  std::optional<std::string> domain;                     // "domain"
  std::optional<std::vector<std::string>> entitlements;  // "entitlement" (its strings)
  std::optional<int64_t> expires;                        // "exp"
};
TokenClaims ReadUncheckedClaims(std::string_view token);

}  // namespace NoxToken::Audit
