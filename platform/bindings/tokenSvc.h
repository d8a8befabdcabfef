// Token service: com.tessel.nox.authentication.token.
#pragma once

#include <memory>
#include <string>

#include "platform/orbi/typedBinding.h"

namespace Com::Tessel::Nox::Authentication::TokenSvc {

inline constexpr const char* kServiceId = "com.tessel.nox.authentication.token";

// Wire structure "token_info": the compact token.
struct TokenInfo {
  std::string token;
};

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  // Answers exactly once through its reply.
  virtual void Create(Orbi::Core::ExecutionContextPtr context,
                      Orbi::Bind::Reply<TokenInfo> reply) = 0;
};

const Orbi::Bind::ServiceDecl<AsyncServiceInterface>& DeclareService(AsyncServiceInterface*);
using AsyncServiceBinder = Orbi::Bind::ServiceBinder<AsyncServiceInterface>;

}  // namespace Com::Tessel::Nox::Authentication::TokenSvc
