// Drops progress reports so that only final results reach the transport.
#pragma once

#include "platform/orbi/provider.h"

namespace Orbi::Provider {

class RemoveProgressProvider final : public Core::AsyncApiProvider {
 public:
  explicit RemoveProgressProvider(Core::ProviderPtr next) : next_(std::move(next)) {}

  std::string ToString() const override { return "RemoveProgressProvider"; }
  void Invoke(const Core::MethodIdentifier& method, Data::ValuePtr input,
              Core::ExecutionContextPtr context, Core::AsyncApiResultCb resultCb) override {
    next_->Invoke(method, std::move(input), std::move(context),
                  [resultCb = std::move(resultCb)](std::optional<Core::MethodResult> result,
                                                   std::optional<Core::Progress> progress,
                                                   Core::Continuation continuation) {
                    if (result) resultCb(std::move(result), progress, std::move(continuation));
                  });
  }

 private:
  Core::ProviderPtr next_;
};

}  // namespace Orbi::Provider
