#include "tarnOrbi/userPassHandler.h"

#include "platform/authn/authnData.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/securitySchemes.h"

namespace TarnOrbi::Authn {

UserPassHandler::UserPassHandler(AuthenticateFn authenticate,
                                 std::shared_ptr<Basalt::Service::Logger> logger,
                                 Orbi::Core::Enqueuer enqueuer, DelayFn delay)
    : authenticate_(std::move(authenticate)),
      logger_(std::move(logger)),
      enqueuer_(std::move(enqueuer)),
      delay_(std::move(delay)) {}

void UserPassHandler::AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                                        Orbi::Authn::AuthnCallback done) {
  const std::string* scheme = context->FindSecurity("schemeId");
  const std::string* user = context->FindSecurity("userName");
  const std::string* password = context->FindSecurity("password");
  if (!scheme || *scheme != Orbi::Security::kUserPassScheme || !user || !password) {
    done(nullptr);
    return;
  }
  auto outcome = authenticate_(*user, *password);
  if (!outcome.token) {
    auto refuse = [done]() { done(Orbi::Std::Unauthenticated().ToErrorValue()); };
    // The host's failure delay is served on a timer, so it never holds a request thread.
    if (delay_ && outcome.failDelay.count() > 0) {
      delay_(outcome.failDelay, [this, refuse]() { enqueuer_(refuse); });
    } else {
      refuse();
    }
    return;
  }
  namespace AuthnData = ::Nox::Authn::AuthnData;
  done(AuthnData::Builder(AuthnData::kUserPassResult).Username(*user).Build());
}

}  // namespace TarnOrbi::Authn
