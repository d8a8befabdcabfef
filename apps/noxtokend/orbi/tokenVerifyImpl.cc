#include "apps/noxtokend/orbi/tokenVerifyImpl.h"

#include "platform/authn/authnData.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/frameworkIds.h"

namespace Com::Tessel::Nox::Authentication {

void TokenVerifyImpl::Verify(Orbi::Core::ExecutionContextPtr context,
                             Orbi::Bind::Reply<std::string> reply) {
  ::Nox::Authn::AuthnData::Reader caller(context->authnResult);

  const std::string* scheme = context->FindSecurity(Orbi::Security::kSchemeIdKey);
  if (scheme && *scheme == Orbi::Security::kOAuthScheme &&
      context->FindSecurity(Orbi::Security::kAccessTokenKey)) {
    logger_->Log(5, "OAuthSecurityContext is presented!");
  } else if (scheme && *scheme == Orbi::Security::kUserPassScheme &&
             context->FindSecurity(Orbi::Security::kUserNameKey) &&
             context->FindSecurity(Orbi::Security::kPasswordKey)) {
    logger_->Log(5, "UserPass is presented!");
  }

  if (!caller.IsAuthenticated()) {
    logger_->Log(3, "No Authentication Data");
    reply.Fail(Orbi::Std::InvalidArgument());
    return;
  }
  const std::string* userName = caller.Username();
  bool hasToken = caller.AccessToken() != nullptr;
  if (userName && hasToken) {
    reply.Answer(*userName);
    return;
  }
  if (!userName) logger_->Log(3, "No useraname present (from the TokenHandler)");
  if (!hasToken) logger_->Log(3, "No Access Token");
  reply.Fail(Orbi::Std::InvalidArgument());
}

}  // namespace Com::Tessel::Nox::Authentication
