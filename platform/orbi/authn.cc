#include "platform/orbi/authn.h"

#include "platform/basalt/assert.h"

namespace Orbi::Authn::Filter {

namespace {

// The call goes on with the handler's answer: refused with its error, or passed on with the
// caller's authentication data (unchanged when the handler had no answer for it).
void Settle(const Core::ProviderPtr& next, const AuthnObserver* observer,
            const Core::MethodIdentifier& method, Data::ValuePtr input,
            Core::ExecutionContextPtr context, Core::AsyncApiResultCb resultCb,
            Data::ValuePtr answer) {
  auto error = Data::As<Data::ErrorValue>(answer);
  if (observer && answer) (*observer)(*context, error.get());
  if (error) {
    resultCb(Core::MethodResult::Failure(std::move(error)), std::nullopt, nullptr);
    return;
  }
  if (answer) context->authnResult = std::move(answer);
  next->Invoke(method, std::move(input), std::move(context), std::move(resultCb));
}

}  // namespace

void AsyncAuthnFilter::Invoke(const Core::MethodIdentifier& method, Data::ValuePtr input,
                              Core::ExecutionContextPtr context, Core::AsyncApiResultCb resultCb) {
  if (context->authnResult || !handler_->MayAuthenticate(*context)) {
    next_->Invoke(method, std::move(input), std::move(context), std::move(resultCb));
    return;
  }
  if (handler_->AnswersAtOnce()) {
    Data::ValuePtr answer;
    bool answered = false;
    handler_->AsyncAuthenticate(context, [&answer, &answered](Data::ValuePtr given) {
      answer = std::move(given);
      answered = true;
    });
    VERIFY(answered);  // the closure above refers to this frame: a later answer would be lost
    Settle(next_, observer_.get(), method, std::move(input), std::move(context),
           std::move(resultCb), std::move(answer));
    return;
  }
  // The handler answers once, so the call's parts move on rather than being copied.
  handler_->AsyncAuthenticate(
      context, [next = next_, observer = observer_, method, input = std::move(input), context,
                resultCb = std::move(resultCb)](Data::ValuePtr answer) mutable {
        Settle(next, observer.get(), method, std::move(input), std::move(context),
               std::move(resultCb), std::move(answer));
      });
}

}  // namespace Orbi::Authn::Filter
