// Records an authentication handler's refusals: each error it answers becomes a credential.refused
// record with the subject the credential claimed. The refusal stands whether or not the record
// could be written.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "apps/noxtokend/audit/auditRecord.h"
#include "apps/noxtokend/audit/auditTrail.h"
#include "platform/orbi/authn.h"

namespace NoxToken::Audit {

// The subject a refused call's security context claims to be; fields it cannot tell are unset.
using ClaimFn = std::function<Subject(const Orbi::Core::ExecutionContext& context)>;

// The observer for the authentication filter of a handler of `scheme` ("user_pass",
// "external_jwt", ...). Thread-safe.
Orbi::Authn::AuthnObserver RecordRefusals(std::shared_ptr<Trail> trail, std::string scheme,
                                          ClaimFn claimed);

// Claims read from the security context: the user name of a user-and-password call, kept only
// when the check found it is a host user or with `keepUnknownNames` (a name nobody has is often a
// password typed into the wrong field); the "username" of a token, and with `issuerAlias` (the
// alias of a token's "iss", empty when unknown) its issuer alias and "domain".
Subject ClaimedByUserName(const Orbi::Core::ExecutionContext& context, bool keepUnknownNames);
Subject ClaimedByToken(const Orbi::Core::ExecutionContext& context,
                       const std::function<std::string(const std::string& issuer)>& issuerAlias);

}  // namespace NoxToken::Audit
