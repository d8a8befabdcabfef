#include "tarnOrbi/userPassHandler.h"

#include "platform/authn/authnData.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/frameworkIds.h"

namespace TarnOrbi::Authn {

UserPassHandler::UserPassHandler(AuthenticateFn authenticate,
                                 std::shared_ptr<Basalt::Service::Logger> logger,
                                 Orbi::Core::Enqueuer enqueuer, DelayFn delay, ClockFn clock)
    : authenticate_(std::move(authenticate)),
      logger_(std::move(logger)),
      enqueuer_(std::move(enqueuer)),
      delay_(std::move(delay)),
      clock_(clock ? std::move(clock) : ClockFn(&std::chrono::steady_clock::now)) {}

void UserPassHandler::AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                                        Orbi::Authn::AuthnCallback done) {
  const std::string* scheme = context->FindSecurity(Orbi::Security::kSchemeIdKey);
  const std::string* user = context->FindSecurity(Orbi::Security::kUserNameKey);
  const std::string* password = context->FindSecurity(Orbi::Security::kPasswordKey);
  if (!scheme || *scheme != Orbi::Security::kUserPassScheme || !user || !password) {
    done(nullptr);
    return;
  }
  const auto start = clock_();
  auto outcome = authenticate_(*user, *password);
  if (!outcome.token) {
    auto refuse = [done]() { done(Orbi::Std::Unauthenticated().ToErrorValue()); };
    // The host's failure delay is served on a timer, so it never holds a request thread, and it
    // is counted from the start so that every refusal takes the same time.
    auto remaining =
        outcome.failDelay - std::chrono::duration_cast<std::chrono::microseconds>(clock_() - start);
    if (delay_ && remaining.count() > 0) {
      delay_(remaining, [this, refuse]() { enqueuer_(refuse); });
    } else {
      refuse();
    }
    return;
  }
  namespace AuthnData = ::Nox::Authn::AuthnData;
  done(AuthnData::Builder(AuthnData::kUserPassResult).Username(*user).Build());
}

}  // namespace TarnOrbi::Authn
