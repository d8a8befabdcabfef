#include "apps/noxtokend/storeWriteProvider.h"

#include "platform/basalt/logger.h"
#include "platform/bindings/clientProfilesSvc.h"
#include "platform/bindings/securityTokenIssuersSvc.h"

namespace NoxToken::NoxTokenApi {

namespace {

namespace Auth = Com::Tessel::Nox::Authentication;

bool ChangesAStore(const Orbi::Core::MethodIdentifier& method) {
  if (method.interfaceId != Auth::ClientProfilesSvc::kServiceId &&
      method.interfaceId != Auth::Trust::SecurityTokenIssuersSvc::kServiceId) {
    return false;
  }
  const std::string& op = method.operationName;
  return op == "create" || op == "set" || op == "delete";
}

}  // namespace

StoreWriteProvider::StoreWriteProvider(Orbi::Core::ProviderPtr next, size_t queueLimit,
                                       ReturnTo returnTo,
                                       std::shared_ptr<const Orbi::Data::ErrorValue> busy,
                                       Admitted admitted)
    : next_(std::move(next)),
      returnTo_(std::move(returnTo)),
      busy_(std::move(busy)),
      admitted_(std::move(admitted)),
      writer_(1, queueLimit) {}  // one thread: changes are stored in the order they arrive

void StoreWriteProvider::Invoke(const Orbi::Core::MethodIdentifier& method,
                                Orbi::Data::ValuePtr input, Orbi::Core::ExecutionContextPtr context,
                                Orbi::Core::AsyncApiResultCb resultCb) {
  if (!ChangesAStore(method) || (admitted_ && !admitted_(method, *context))) {
    next_->Invoke(method, std::move(input), std::move(context), std::move(resultCb));
    return;
  }
  auto answerOn = returnTo_();
  auto answered = [answerOn, resultCb](std::optional<Orbi::Core::MethodResult> result,
                                       std::optional<Orbi::Core::Progress> progress,
                                       Orbi::Core::Continuation continuation) {
    answerOn([resultCb, result = std::move(result), progress,
              continuation = std::move(continuation)]() mutable {
      resultCb(std::move(result), progress, std::move(continuation));
    });
  };
  auto job = Basalt::Service::CarryLogContext(
      [next = next_, method, input = std::move(input), context, answered = std::move(answered)] {
        next->Invoke(method, input, context, answered);
      });
  if (!writer_.TryPost(std::move(job))) {
    resultCb(Orbi::Core::MethodResult::Failure(busy_), std::nullopt, nullptr);
  }
}

}  // namespace NoxToken::NoxTokenApi
