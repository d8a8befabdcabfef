#include "apps/noxtokend/orbi/tokenVerifyImpl.h"

#include "platform/orbi/errors.h"
#include "platform/orbi/securitySchemes.h"

namespace Com::Tessel::Nox::Authentication {

void TokenVerifyImpl::Verify(Orbi::Core::ExecutionContextPtr context,
                             Orbi::Core::AsyncApiResultCb cb) {
  auto data = Orbi::Data::As<Orbi::Data::StructValue>(context->authnResult);

  const std::string* scheme = context->FindSecurity("schemeId");
  if (scheme && *scheme == Orbi::Security::kOAuthScheme && context->FindSecurity("accessToken")) {
    logger_->Log(5, "OAuthSecurityContext is presented!");
  } else if (scheme && *scheme == Orbi::Security::kUserPassScheme &&
             context->FindSecurity("userName") && context->FindSecurity("password")) {
    logger_->Log(5, "UserPass is presented!");
  }

  if (!data) {
    logger_->Log(3, "No Authentication Data");
    Orbi::Provider::Fail(cb, Orbi::Std::InvalidArgument());
    return;
  }
  const std::string* userName = data->GetString("username");
  bool hasToken = data->HasField("accessToken");
  if (userName && hasToken) {
    Orbi::Provider::Answer(cb, Orbi::Data::StringValue::Create(*userName));
    return;
  }
  if (!userName) logger_->Log(3, "No useraname present (from the TokenHandler)");
  if (!hasToken) logger_->Log(3, "No Access Token");
  Orbi::Provider::Fail(cb, Orbi::Std::InvalidArgument());
}

}  // namespace Com::Tessel::Nox::Authentication
