// Verification service: com.tessel.nox.authentication.verification.
#pragma once

#include <memory>
#include <string>

#include "platform/orbi/typedBinding.h"

namespace Com::Tessel::Nox::Authentication::VerificationSvc {

inline constexpr const char* kServiceId = "com.tessel.nox.authentication.verification";

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  // Answers the user name of the caller's daemon token, exactly once through its reply.
  virtual void Verify(Orbi::Core::ExecutionContextPtr context,
                      Orbi::Bind::Reply<std::string> reply) = 0;
};

const Orbi::Bind::ServiceDecl<AsyncServiceInterface>& DeclareService(AsyncServiceInterface*);
using AsyncServiceBinder = Orbi::Bind::ServiceBinder<AsyncServiceInterface>;

}  // namespace Com::Tessel::Nox::Authentication::VerificationSvc
