// The verification service: confirms the caller's daemon token and answers its user name.
#pragma once

#include <memory>

#include "platform/basalt/logger.h"
#include "platform/bindings/verificationSvc.h"

namespace Com::Tessel::Nox::Authentication {

class TokenVerifyImpl final : public VerificationSvc::AsyncServiceInterface {
 public:
  explicit TokenVerifyImpl(std::shared_ptr<Basalt::Service::Logger> logger)
      : logger_(std::move(logger)) {}

  void Verify(Orbi::Core::ExecutionContextPtr context,
              Orbi::Bind::Reply<std::string> reply) override;

 private:
  std::shared_ptr<Basalt::Service::Logger> logger_;
};

}  // namespace Com::Tessel::Nox::Authentication
