#include "platform/orbi/authn.h"

namespace Orbi::Authn::Filter {

void AsyncAuthnFilter::Invoke(const Core::MethodIdentifier& method, Data::ValuePtr input,
                              Core::ExecutionContextPtr context, Core::AsyncApiResultCb resultCb) {
  if (context->authnResult || !handler_->MayAuthenticate(*context)) {
    next_->Invoke(method, std::move(input), std::move(context), std::move(resultCb));
    return;
  }
  // The handler answers once, so the call's parts move on rather than being copied.
  auto next = next_;
  handler_->AsyncAuthenticate(
      context, [next, observer = observer_, method, input = std::move(input), context,
                resultCb = std::move(resultCb)](Data::ValuePtr answer) mutable {
        auto error = Data::As<Data::ErrorValue>(answer);
        if (observer && answer) (*observer)(*context, error.get());
        if (error) {
          resultCb(Core::MethodResult::Failure(std::move(error)), std::nullopt, nullptr);
          return;
        }
        if (answer) context->authnResult = std::move(answer);
        next->Invoke(method, std::move(input), std::move(context), std::move(resultCb));
      });
}

}  // namespace Orbi::Authn::Filter
