// Token service: com.tessel.nox.authentication.token.
#pragma once

#include <memory>
#include <string>

#include "platform/orbi/localProvider.h"
#include "platform/orbi/reply.h"

namespace Com::Tessel::Nox::Authentication::TokenSvc {

inline constexpr const char* kServiceId = "com.tessel.nox.authentication.token";

const Orbi::Bind::ServiceDef& Definition();

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

class AsyncServiceBinder {
 public:
  // Errors the implementation fails with are rendered by `localizer` (the framework's default
  // when null).
  static Orbi::Provider::InterfacePtr BindImplementation(
      std::shared_ptr<AsyncServiceInterface> impl,
      std::shared_ptr<const Orbi::L10n::Localizer> localizer = nullptr);
};

}  // namespace Com::Tessel::Nox::Authentication::TokenSvc
