// Verification service: com.tessel.nox.authentication.verification.
#pragma once

#include <memory>

#include "platform/orbi/localProvider.h"

namespace Com::Tessel::Nox::Authentication::VerificationSvc {

inline constexpr const char* kServiceId = "com.tessel.nox.authentication.verification";

const Orbi::Bind::ServiceDef& Definition();

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  // Answers the user name of the caller's daemon token.
  virtual void Verify(Orbi::Core::ExecutionContextPtr context, Orbi::Core::AsyncApiResultCb cb) = 0;
};

class AsyncServiceBinder {
 public:
  static Orbi::Provider::InterfacePtr BindImplementation(
      std::shared_ptr<AsyncServiceInterface> impl);
};

}  // namespace Com::Tessel::Nox::Authentication::VerificationSvc
