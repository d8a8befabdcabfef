// An authentication handler that records the refusals of the handler it wraps: each error it
// answers becomes a credential.refused record with the subject the credential claimed. Answers
// pass on unchanged, whether or not the record could be written: the call is refused anyway.
//
// Thread-safe when the wrapped handler is.
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

class AuditedAuthnHandler final : public Orbi::Authn::AuthnHandler {
 public:
  // `scheme` names the wrapped handler's scheme in records ("user_pass", "external_jwt", ...).
  AuditedAuthnHandler(Orbi::Authn::AuthnHandlerPtr handler, std::string scheme,
                      std::shared_ptr<Trail> trail, ClaimFn claimed);

  void AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                         Orbi::Authn::AuthnCallback done) override;

 private:
  Orbi::Authn::AuthnHandlerPtr handler_;
  std::string scheme_;
  std::shared_ptr<Trail> trail_;
  ClaimFn claimed_;
};

// Claims read from the security context: the user name of a user-and-password call; the
// "username" of a token, and with `issuerAlias` (the alias of a token's "iss", empty when
// unknown) its issuer alias.
Subject ClaimedByUserName(const Orbi::Core::ExecutionContext& context);
Subject ClaimedByToken(const Orbi::Core::ExecutionContext& context,
                       const std::function<std::string(const std::string& issuer)>& issuerAlias);

}  // namespace NoxToken::Audit
