#include "tarnOrbi/userPassHandler.h"

#include <atomic>

#include "platform/authn/authnData.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/frameworkIds.h"

namespace TarnOrbi::Authn {

struct UserPassHandler::Check : std::enable_shared_from_this<Check> {
  Check(AuthenticateFn authenticate, Options given,
        const std::shared_ptr<const Options::OffloadFn>& offload)
      : authenticate(std::move(authenticate)),
        options(WithoutOffload(std::move(given))),
        offloads(offload != nullptr),
        offload(offload) {}

  static Options WithoutOffload(Options given) {
    if (!given.clock) given.clock = ClockFn(&std::chrono::steady_clock::now);
    given.offload = nullptr;
    return given;
  }

  const AuthenticateFn authenticate;
  const Options options;
  const bool offloads;
  const std::weak_ptr<const Options::OffloadFn> offload;  // expired once the handler is gone
  std::atomic<bool> overloaded{false};

  // Starts an admitted attempt: queued for the offload, or run here without one. The context
  // holds the user name and password until the call ends; no copy of them is made.
  void Start(const Orbi::Core::ExecutionContextPtr& context, const std::string* user,
             const std::string* password, PasswordThrottle::CallerUid caller,
             Orbi::Authn::AuthnCallback done, Orbi::Core::Enqueuer answer) {
    const auto& throttle = options.throttle;
    if (!offloads) {
      Run(context, *user, *password, caller, std::move(done), std::move(answer));
      return;
    }
    auto job = Basalt::Service::CarryLogContext(
        [self = shared_from_this(), context, user, password, caller, done, answer]() {
          self->Run(context, *user, *password, caller, done, answer);
        });
    auto queue = offload.lock();
    if (queue && (*queue)(std::move(job))) {
      if (throttle && overloaded.exchange(false)) {
        throttle->GetLogger()->Log(3, "Password checks are queued again");
      }
      return;
    }
    if (throttle) {
      throttle->Settle(*user, caller, PasswordThrottle::Outcome::kNotChecked);
      if (queue && !overloaded.exchange(true)) {
        throttle->GetLogger()->Log(
            3, "Password check queue full: attempts are refused unchecked until it drains");
      }
    }
    RefuseUnchecked(*context, *user, caller, Orbi::Std::Unauthenticated().ToErrorValue(),
                    std::move(done), std::move(answer));
  }

  // Runs the host check and answers through `answer`, which runs on the request's thread.
  void Run(const Orbi::Core::ExecutionContextPtr& context, const std::string& user,
           const std::string& password, PasswordThrottle::CallerUid caller,
           Orbi::Authn::AuthnCallback done, Orbi::Core::Enqueuer answer) const {
    const auto& throttle = options.throttle;
    const auto start = options.clock();
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
    // Read on the request's thread only after `answer` hands the refusal over.
    context->claimedUserExists = outcome.hostUser;
    const auto settled = outcome.hostUser ? PasswordThrottle::Outcome::kRefused
                                          : PasswordThrottle::Outcome::kRefusedUnknownName;
    auto refuse = [done, throttle, user, caller, settled]() {
      if (throttle) throttle->Settle(user, caller, settled);
      done(Orbi::Std::Unauthenticated().ToErrorValue());
    };
    // The host's failure delay is served on a timer, so it never holds a thread, and it is
    // counted from the start so that every refusal takes the same time.
    auto remaining = outcome.failDelay -
                     std::chrono::duration_cast<std::chrono::microseconds>(options.clock() - start);
    if (options.delay && remaining.count() > 0) {
      options.delay(remaining, [answer, refuse]() { answer(refuse); });
    } else {
      answer(refuse);
    }
  }

  // Answers an attempt that never reached the host, after `uncheckedPause`; its records tell of
  // the name what the pair's checks found.
  void RefuseUnchecked(Orbi::Core::ExecutionContext& context, const std::string& user,
                       PasswordThrottle::CallerUid caller, Orbi::Data::ValuePtr refusal,
                       Orbi::Authn::AuthnCallback done, Orbi::Core::Enqueuer answer) const {
    if (options.throttle) context.claimedUserExists = options.throttle->HostUser(user, caller);
    auto send = [answer, done, refusal] { answer([done, refusal] { done(refusal); }); };
    if (!options.delay || options.uncheckedPause.count() <= 0) {
      send();
      return;
    }
    options.delay(options.uncheckedPause, std::move(send));
  }

  Orbi::Data::ValuePtr Throttled(std::chrono::seconds wait) const {
    return options.throttled ? options.throttled(wait)
                             : Orbi::Std::Unauthenticated().ToErrorValue();
  }
};

UserPassHandler::UserPassHandler(AuthenticateFn authenticate,
                                 std::shared_ptr<Basalt::Service::Logger> logger,
                                 Orbi::Core::Enqueuer enqueuer, Options options)
    : offload_(options.offload
                   ? std::make_shared<const Options::OffloadFn>(std::move(options.offload))
                   : nullptr),
      check_(std::make_shared<Check>(std::move(authenticate), std::move(options), offload_)),
      logger_(std::move(logger)),
      enqueuer_(std::move(enqueuer)) {}

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
  const auto& options = check_->options;
  Orbi::Core::Enqueuer answer = options.returnTo ? options.returnTo() : enqueuer_;
  if (!options.throttle) {
    check_->Start(context, user, password, std::nullopt, std::move(done), std::move(answer));
    return;
  }
  const PasswordThrottle::CallerUid caller = context->CallerUid();
  // A waiting attempt is decided on the thread of the check that frees its place: it goes back to
  // the request's thread, under this call's log context; `verdict` carries the decision there.
  auto verdict = std::make_shared<PasswordThrottle::Verdict>();
  auto decide = Basalt::Service::CarryLogContext([check = check_, context, user, password, caller,
                                                  done, answer, verdict] {
    if (*verdict) {
      check->RefuseUnchecked(*context, *user, caller, check->Throttled(**verdict), done, answer);
    } else {
      check->Start(context, user, password, caller, done, answer);
    }
  });
  options.throttle->Admit(
      *user, caller,
      [verdict, decide = std::move(decide), answer](PasswordThrottle::Verdict given, bool waited) {
        *verdict = given;
        if (waited) {
          answer(decide);
        } else {
          decide();
        }
      });
}

}  // namespace TarnOrbi::Authn
