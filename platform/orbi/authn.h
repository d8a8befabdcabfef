// Authentication handlers and the filter that asks one of them per call.
#pragma once

#include <functional>
#include <memory>

#include "platform/orbi/provider.h"

namespace Orbi::Authn {

// Answered exactly once with: nullptr (the call is not for this handler), an ErrorValue (the
// call is refused with it), or any other value (the caller's authentication data).
using AuthnCallback = std::function<void(Data::ValuePtr)>;

class AuthnHandler {
 public:
  virtual ~AuthnHandler() = default;
  virtual void AsyncAuthenticate(Core::ExecutionContextPtr context, AuthnCallback done) = 0;
};
using AuthnHandlerPtr = std::shared_ptr<AuthnHandler>;

// Told of each answer of a handler that settles a call's authentication: accepted (the caller's
// authentication data) or refused (an error). Called on the handler's thread; must be quick.
class AuthnObserver {
 public:
  virtual ~AuthnObserver() = default;
  virtual void OnSettled(bool accepted) const = 0;
};
using AuthnObserverPtr = std::shared_ptr<const AuthnObserver>;

namespace Filter {

// Consults its handler only while the call has no authentication data.
class AsyncAuthnFilter final : public Core::AsyncApiProvider {
 public:
  // `observer` may be null.
  AsyncAuthnFilter(Core::ProviderPtr next, AuthnHandlerPtr handler,
                   AuthnObserverPtr observer = nullptr)
      : next_(std::move(next)), handler_(std::move(handler)), observer_(std::move(observer)) {}

  std::string ToString() const override { return "AsyncAuthnFilter"; }
  void Invoke(const Core::MethodIdentifier& method, Data::ValuePtr input,
              Core::ExecutionContextPtr context, Core::AsyncApiResultCb resultCb) override;

 private:
  Core::ProviderPtr next_;
  AuthnHandlerPtr handler_;
  AuthnObserverPtr observer_;
};

}  // namespace Filter
}  // namespace Orbi::Authn
