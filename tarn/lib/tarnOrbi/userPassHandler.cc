#include "tarnOrbi/userPassHandler.h"

#include "platform/authn/authnData.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/frameworkIds.h"

namespace TarnOrbi::Authn {

struct UserPassHandler::Check {
  AuthenticateFn authenticate;
  DelayFn delay;
  ClockFn clock;
  std::shared_ptr<PasswordThrottle> throttle;

  // Runs the host check and answers through `answer`, which runs on the request's thread.
  void Run(const std::string& user, const std::string& password, PasswordThrottle::CallerUid caller,
           Orbi::Authn::AuthnCallback done, Orbi::Core::Enqueuer answer) const {
    const auto start = clock();
    auto outcome = authenticate(user, password);
    if (outcome.token) {
      if (throttle) throttle->Settle(user, caller, PasswordThrottle::Outcome::kAccepted);
      namespace AuthnData = ::Nox::Authn::AuthnData;
      answer(
          [done, result = AuthnData::Builder(AuthnData::kUserPassResult).Username(user).Build()] {
            done(result);
          });
      return;
    }
    // Counted when answered: the attempt holds its place until then, and a wait that follows
    // starts when the caller hears of the failure, not while it still sits out the delay.
    auto refuse = [done, throttle = throttle, user, caller]() {
      if (throttle) throttle->Settle(user, caller, PasswordThrottle::Outcome::kRefused);
      done(Orbi::Std::Unauthenticated().ToErrorValue());
    };
    // The host's failure delay is served on a timer, so it never holds a thread, and it is
    // counted from the start so that every refusal takes the same time.
    auto remaining =
        outcome.failDelay - std::chrono::duration_cast<std::chrono::microseconds>(clock() - start);
    if (delay && remaining.count() > 0) {
      delay(remaining, [answer, refuse]() { answer(refuse); });
    } else {
      answer(refuse);
    }
  }
};

UserPassHandler::UserPassHandler(AuthenticateFn authenticate,
                                 std::shared_ptr<Basalt::Service::Logger> logger,
                                 Orbi::Core::Enqueuer enqueuer, Options options)
    : check_(std::make_shared<const Check>(
          Check{std::move(authenticate), options.delay,
                options.clock ? options.clock : ClockFn(&std::chrono::steady_clock::now),
                options.throttle})),
      logger_(std::move(logger)),
      enqueuer_(std::move(enqueuer)),
      options_(std::move(options)) {}

bool UserPassHandler::MayAuthenticate(const Orbi::Core::ExecutionContext& context) const {
  const std::string* scheme = context.FindSecurity(Orbi::Security::kSchemeIdKey);
  return scheme && *scheme == Orbi::Security::kUserPassScheme &&
         context.FindSecurity(Orbi::Security::kUserNameKey) &&
         context.FindSecurity(Orbi::Security::kPasswordKey);
}

void UserPassHandler::AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                                        Orbi::Authn::AuthnCallback done) {
  if (!MayAuthenticate(*context)) {
    done(nullptr);
    return;
  }
  const std::string* user = context->FindSecurity(Orbi::Security::kUserNameKey);
  const std::string* password = context->FindSecurity(Orbi::Security::kPasswordKey);
  const auto& throttle = options_.throttle;
  PasswordThrottle::CallerUid caller;
  if (throttle) {
    caller = context->CallerUid();
    if (auto wait = throttle->Admit(*user, caller)) {
      RefuseUnchecked(options_.throttled ? options_.throttled(*wait)
                                         : Orbi::Std::Unauthenticated().ToErrorValue(),
                      std::move(done));
      return;
    }
  }
  Orbi::Core::Enqueuer answer = options_.returnTo ? options_.returnTo() : enqueuer_;
  if (!options_.offload) {
    check_->Run(*user, *password, caller, std::move(done), std::move(answer));
    return;
  }
  // The context holds the user name and password until the call ends; no copy of them is made.
  auto job = Basalt::Service::CarryLogContext(
      [check = check_, context, user, password, caller, done, answer]() {
        check->Run(*user, *password, caller, done, answer);
      });
  if (options_.offload(std::move(job))) {
    if (throttle && overloaded_.exchange(false)) {
      throttle->GetLogger()->Log(3, "Password checks are queued again");
    }
    return;
  }
  if (throttle) {
    throttle->Settle(*user, caller, PasswordThrottle::Outcome::kNotChecked);
    if (!overloaded_.exchange(true)) {
      throttle->GetLogger()->Log(
          3, "Password check queue full: attempts are refused unchecked until it drains");
    }
  }
  RefuseUnchecked(Orbi::Std::Unauthenticated().ToErrorValue(), std::move(done));
}

void UserPassHandler::RefuseUnchecked(Orbi::Data::ValuePtr refusal,
                                      Orbi::Authn::AuthnCallback done) const {
  if (!options_.delay || options_.uncheckedPause.count() <= 0) {
    done(std::move(refusal));
    return;
  }
  Orbi::Core::Enqueuer answer = options_.returnTo ? options_.returnTo() : enqueuer_;
  options_.delay(options_.uncheckedPause,
                 [answer, done, refusal] { answer([done, refusal] { done(refusal); }); });
}

}  // namespace TarnOrbi::Authn
