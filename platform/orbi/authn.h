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

  // False when AsyncAuthenticate would only answer nullptr at once for this call: the filter
  // then passes the call on without asking, and so without building the answer's closure.
  virtual bool MayAuthenticate(const Core::ExecutionContext& /*context*/) const { return true; }

  // True when AsyncAuthenticate calls `done` on every path before it returns, on the calling
  // thread, and does nothing after it: the filter then takes the answer where it is, building no
  // closure that owns the call's parts. A handler that waits for anything answers false.
  virtual bool AnswersAtOnce() const { return false; }
};
using AuthnHandlerPtr = std::shared_ptr<AuthnHandler>;

// Told of each answer of a handler that settles a call's authentication, on the thread of the
// answer, before the call goes on: `refusal` is the error the handler answered, or null when it
// accepted the caller. Where authentications are accounted for (audit, metrics); must be quick and
// must not throw.
using AuthnObserver =
    std::function<void(const Core::ExecutionContext& context, const Data::ErrorValue* refusal)>;

namespace Filter {

// Consults its handler only while the call has no authentication data.
class AsyncAuthnFilter final : public Core::AsyncApiProvider {
 public:
  AsyncAuthnFilter(Core::ProviderPtr next, AuthnHandlerPtr handler,
                   AuthnObserver observer = nullptr)
      : next_(std::move(next)),
        handler_(std::move(handler)),
        observer_(observer ? std::make_shared<const AuthnObserver>(std::move(observer)) : nullptr) {
  }

  std::string ToString() const override { return "AsyncAuthnFilter"; }
  void Invoke(const Core::MethodIdentifier& method, Data::ValuePtr input,
              Core::ExecutionContextPtr context, Core::AsyncApiResultCb resultCb) override;

 private:
  Core::ProviderPtr next_;
  AuthnHandlerPtr handler_;
  // Shared with the calls in flight, which may outlive the filter.
  std::shared_ptr<const AuthnObserver> observer_;
};

}  // namespace Filter
}  // namespace Orbi::Authn
