#include "platform/orbi/authn.h"

namespace Orbi::Authn::Filter {

void AsyncAuthnFilter::Invoke(const Core::MethodIdentifier& method, Data::ValuePtr input,
                              Core::ExecutionContextPtr context, Core::AsyncApiResultCb resultCb) {
  if (context->authnResult) {
    next_->Invoke(method, std::move(input), std::move(context), std::move(resultCb));
    return;
  }
  auto next = next_;
  handler_->AsyncAuthenticate(
      context, [next, method, input, context, resultCb](Data::ValuePtr answer) {
        if (auto error = Data::As<Data::ErrorValue>(answer)) {
          resultCb(Core::MethodResult::Failure(std::move(error)), std::nullopt, nullptr);
          return;
        }
        if (answer) context->authnResult = std::move(answer);
        next->Invoke(method, input, context, resultCb);
      });
}

}  // namespace Orbi::Authn::Filter
