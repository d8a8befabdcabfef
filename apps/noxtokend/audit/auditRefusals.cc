#include "apps/noxtokend/audit/auditRefusals.h"

#include "apps/noxtokend/audit/auditCall.h"

namespace NoxToken::Audit {

Orbi::Authn::AuthnObserver RecordRefusals(std::shared_ptr<Trail> trail, std::string scheme,
                                          ClaimFn claimed) {
  return [trail = std::move(trail), scheme = std::move(scheme), claimed = std::move(claimed)](
             const Orbi::Core::ExecutionContext& context, const Orbi::Data::ErrorValue* refusal) {
    if (!refusal) return;
    Record record = NewRecord(Event::kCredentialRefused, context);
    record.scheme = scheme;
    if (claimed) record.subject = claimed(context);
    record.reason = RefusalReason(*refusal);
    trail->Write(record);
  };
}

Subject ClaimedByUserName(const Orbi::Core::ExecutionContext& context, bool keepUnknownNames) {
  Subject subject;
  const std::string* user = context.FindSecurity("userName");
  if (!user) return subject;
  subject.hostUser = context.claimedUserExists;
  if (subject.hostUser.value_or(false) || keepUnknownNames) subject.user = *user;
  return subject;
}

Subject ClaimedByToken(const Orbi::Core::ExecutionContext& context,
                       const std::function<std::string(const std::string& issuer)>& issuerAlias) {
  Subject subject;
  const std::string* token = context.FindSecurity("accessToken");
  if (!token) return subject;
  TokenClaims claims = ReadUncheckedClaims(*token);
  subject.user = std::move(claims.user);
  if (claims.issuer && issuerAlias) {
    std::string alias = issuerAlias(*claims.issuer);
    if (!alias.empty()) subject.issuerAlias = std::move(alias);
    subject.domain = std::move(claims.domain);
  }
  return subject;
}

}  // namespace NoxToken::Audit
