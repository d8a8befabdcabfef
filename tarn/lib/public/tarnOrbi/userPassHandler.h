// Authenticates calls that present a host user name and password.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/basalt/authenticateUser.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/authn.h"

namespace TarnOrbi::Authn {

class UserPassHandler final : public Orbi::Authn::AuthnHandler {
 public:
  // The host's verdict on (user name, password), with the failure delay it asks for.
  using AuthenticateFn = std::function<Basalt::System::AuthenticationOutcome(
      const std::string& user, const std::string& password)>;
  // Runs work after a delay without holding a thread while waiting.
  using DelayFn = std::function<void(std::chrono::microseconds, std::function<void()>)>;
  using ClockFn = std::function<std::chrono::steady_clock::time_point()>;

  // A refusal is answered when the host's failure delay has passed since the call started, so
  // that the time the host took to check (longer for a known user) does not show in the answer.
  UserPassHandler(AuthenticateFn authenticate, std::shared_ptr<Basalt::Service::Logger> logger,
                  Orbi::Core::Enqueuer enqueuer, DelayFn delay = nullptr, ClockFn clock = nullptr);

  void AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                         Orbi::Authn::AuthnCallback done) override;

 private:
  AuthenticateFn authenticate_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  Orbi::Core::Enqueuer enqueuer_;
  DelayFn delay_;
  ClockFn clock_;
};

}  // namespace TarnOrbi::Authn
