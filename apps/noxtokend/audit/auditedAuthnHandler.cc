#include "apps/noxtokend/audit/auditedAuthnHandler.h"

#include "apps/noxtokend/audit/auditCall.h"

namespace NoxToken::Audit {

AuditedAuthnHandler::AuditedAuthnHandler(Orbi::Authn::AuthnHandlerPtr handler, std::string scheme,
                                         std::shared_ptr<Trail> trail, ClaimFn claimed)
    : handler_(std::move(handler)),
      scheme_(std::move(scheme)),
      trail_(std::move(trail)),
      claimed_(std::move(claimed)) {}

void AuditedAuthnHandler::AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                                            Orbi::Authn::AuthnCallback done) {
  handler_->AsyncAuthenticate(context,
                              [this, context, done = std::move(done)](Orbi::Data::ValuePtr answer) {
                                if (auto error = Orbi::Data::As<Orbi::Data::ErrorValue>(answer)) {
                                  Record record = NewRecord(Event::kCredentialRefused, *context);
                                  record.scheme = scheme_;
                                  if (claimed_) record.subject = claimed_(*context);
                                  record.reason = RefusalReason(*error);
                                  trail_->Write(record);
                                }
                                done(std::move(answer));
                              });
}

Subject ClaimedByUserName(const Orbi::Core::ExecutionContext& context) {
  Subject subject;
  if (const std::string* user = context.FindSecurity("userName")) subject.user = *user;
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
  }
  return subject;
}

}  // namespace NoxToken::Audit
