// Token service: com.tessel.nox.authentication.token.
#pragma once

#include <memory>

#include "platform/orbi/localProvider.h"

namespace Com::Tessel::Nox::Authentication::TokenSvc {

inline constexpr const char* kServiceId = "com.tessel.nox.authentication.token";

const Orbi::Bind::ServiceDef& Definition();

// TokenInfo: the compact token.
Orbi::Data::ValuePtr MakeTokenInfo(const std::string& token);

class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void Create(Orbi::Core::ExecutionContextPtr context, Orbi::Core::AsyncApiResultCb cb) = 0;
};

class AsyncServiceBinder {
 public:
  static Orbi::Provider::InterfacePtr BindImplementation(
      std::shared_ptr<AsyncServiceInterface> impl);
};

}  // namespace Com::Tessel::Nox::Authentication::TokenSvc
