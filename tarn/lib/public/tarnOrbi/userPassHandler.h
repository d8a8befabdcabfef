// Authenticates calls that present a host user name and password.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/basalt/authenticateUser.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/authn.h"
#include "tarnOrbi/passwordThrottle.h"

namespace TarnOrbi::Authn {

// How a UserPassHandler reaches the host and paces its answers.
struct UserPassHandlerOptions {
  // Runs work after a delay without holding a thread while waiting.
  using DelayFn = std::function<void(std::chrono::microseconds, std::function<void()>)>;
  using ClockFn = std::function<std::chrono::steady_clock::time_point()>;
  // Queues the host check away from the calling thread; false when it cannot take more.
  using OffloadFn = std::function<bool(std::function<void()>)>;
  // Called on the request's thread: how to run work back on that thread later.
  using ReturnFn = std::function<Orbi::Core::Enqueuer()>;
  // The answer to an attempt the throttle refused, given the seconds to wait.
  using ThrottledFn = std::function<Orbi::Data::ValuePtr(std::chrono::seconds)>;

  DelayFn delay;      // none: a refusal is answered as soon as the host answers
  ClockFn clock;      // steady_clock by default
  OffloadFn offload;  // none: the host check runs on the calling thread
  // none: answers go through the handler's enqueuer. With `offload`, either must run work on a
  // thread of its own, not the offload's: a waiting attempt is started through it.
  ReturnFn returnTo;
  std::shared_ptr<PasswordThrottle> throttle;  // none: every attempt is checked
  ThrottledFn throttled;                       // none: the standard Unauthenticated error
  // How long an attempt refused without a check waits for its answer (on `delay`, holding no
  // thread).
  std::chrono::microseconds uncheckedPause{0};
};

class UserPassHandler final : public Orbi::Authn::AuthnHandler {
 public:
  // The host's verdict on (user name, password), with the failure delay it asks for.
  using AuthenticateFn = std::function<Basalt::System::AuthenticationOutcome(
      const std::string& user, const std::string& password)>;
  using Options = UserPassHandlerOptions;
  using DelayFn = Options::DelayFn;
  using ClockFn = Options::ClockFn;

  // A refusal is answered when the host's failure delay has passed since the call started, so
  // that the time the host took to check (longer for a known user) does not show in the answer.
  // An attempt the throttle has no place for yet waits in the throttle, holding no thread, and
  // starts when a check of its pair settles. A throttled attempt never reaches the host: it is
  // answered with `throttled` once `uncheckedPause` has passed, so that a guesser's refused
  // attempts come no faster than its checked ones and cannot flood the daemon in their place.
  // When `offload` is full the attempt is refused like a wrong password, without a check (also
  // after `uncheckedPause`), and the overload is logged at level 3 by the throttle's logger once
  // until it clears. Every answer goes through `returnTo` (else the enqueuer), and so does the
  // start of an attempt that waited. The handler may be destroyed while attempts are under way:
  // those that wait are then refused unchecked when their turn comes.
  UserPassHandler(AuthenticateFn authenticate, std::shared_ptr<Basalt::Service::Logger> logger,
                  Orbi::Core::Enqueuer enqueuer, Options options = {});

  void AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                         Orbi::Authn::AuthnCallback done) override;
  bool MayAuthenticate(const Orbi::Core::ExecutionContext& context) const override;

 private:
  // What an attempt needs after the call has left the handler; shared, so the handler may go
  // first.
  struct Check;

  // Owned here alone: the checks it runs hold `check_`, and the last of them must not be the
  // one to tear down the threads it runs on.
  std::shared_ptr<const Options::OffloadFn> offload_;
  std::shared_ptr<Check> check_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  Orbi::Core::Enqueuer enqueuer_;
};

}  // namespace TarnOrbi::Authn
