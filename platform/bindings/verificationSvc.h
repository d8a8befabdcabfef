// Verification service: com.tessel.nox.authentication.verification.
#pragma once

#include <memory>
#include <string>

#include "platform/orbi/localProvider.h"
#include "platform/orbi/reply.h"

namespace Com::Tessel::Nox::Authentication::VerificationSvc {

inline constexpr const char* kServiceId = "com.tessel.nox.authentication.verification";

const Orbi::Bind::ServiceDef& Definition();

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  // Answers the user name of the caller's daemon token, exactly once through its reply.
  virtual void Verify(Orbi::Core::ExecutionContextPtr context,
                      Orbi::Bind::Reply<std::string> reply) = 0;
};

class AsyncServiceBinder {
 public:
  static Orbi::Provider::InterfacePtr BindImplementation(
      std::shared_ptr<AsyncServiceInterface> impl);
};

}  // namespace Com::Tessel::Nox::Authentication::VerificationSvc
