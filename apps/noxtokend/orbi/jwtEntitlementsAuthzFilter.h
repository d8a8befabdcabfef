// Admits each call as its operation's declaration says (Orbi::Bind::Admission): management
// operations only with a daemon token that carries the management entitlement, token issuance to
// any credential but a daemon token, open operations to anyone. A served operation that declares
// no admission is refused to every caller; one that is not served goes on, for the local provider
// to answer that it does not exist.
//
// Thread safety: keeps no per-call state; shared by all calls. Refusals complete the call through
// the enqueuer with the standard Unauthorized error and never reach the next provider.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/orbi/localProvider.h"
#include "platform/orbi/provider.h"

namespace NoxToken {

class JwtEntitlementsAuthzFilter final
    : public Orbi::Core::AsyncApiProvider,
      public std::enable_shared_from_this<JwtEntitlementsAuthzFilter> {
 public:
  // `served` is the local provider whose declarations say how each operation is admitted; `next`
  // leads to it.
  JwtEntitlementsAuthzFilter(Orbi::Core::Enqueuer enqueuer, Orbi::Core::ProviderPtr next,
                             Orbi::Core::LoggerPtr logger,
                             std::shared_ptr<const Orbi::Provider::AsyncLocalProvider> served);

  std::string ToString() const override { return "AsyncAuthzFilter"; }
  void Invoke(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr input,
              Orbi::Core::ExecutionContextPtr context,
              Orbi::Core::AsyncApiResultCb resultCb) override;

  // Whether Invoke would pass the call on, decided as Invoke decides but without a log line.
  // Thread-safe.
  bool Admits(const Orbi::Core::MethodIdentifier& method,
              const Orbi::Core::ExecutionContext& context) const;

 private:
  struct Refusal {
    int level;
    std::string line;
  };
  // Why the caller may not go on; nullopt when it may.
  std::optional<Refusal> Check(const Orbi::Core::MethodIdentifier& method,
                               const Orbi::Core::ExecutionContext& context) const;
  std::optional<Refusal> CheckTokenCall(const std::string& interfaceId, const std::string& scheme,
                                        const Orbi::Core::ExecutionContext& context) const;
  std::optional<Refusal> CheckManagementCall(const std::string& scheme,
                                             const Orbi::Core::ExecutionContext& context) const;

  Orbi::Core::Enqueuer enqueuer_;
  Orbi::Core::ProviderPtr next_;
  Orbi::Core::LoggerPtr logger_;
  std::shared_ptr<const Orbi::Provider::AsyncLocalProvider> served_;
};

}  // namespace NoxToken
