// Admits callers to the management services only with a daemon token that carries the management
// entitlement, and keeps daemon tokens from obtaining new tokens. Other interfaces pass unchecked.
//
// Thread safety: keeps no per-call state; shared by all calls. Refusals complete the call through
// the enqueuer with the standard Unauthorized error and never reach the next provider.
#pragma once

#include <memory>
#include <string>

#include "platform/orbi/provider.h"

namespace NoxToken {

class JwtEntitlementsAuthzFilter final
    : public Orbi::Core::AsyncApiProvider,
      public std::enable_shared_from_this<JwtEntitlementsAuthzFilter> {
 public:
  JwtEntitlementsAuthzFilter(Orbi::Core::Enqueuer enqueuer, Orbi::Core::ProviderPtr next,
                             Orbi::Core::LoggerPtr logger);

  std::string ToString() const override { return "AsyncAuthzFilter"; }
  void Invoke(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr input,
              Orbi::Core::ExecutionContextPtr context,
              Orbi::Core::AsyncApiResultCb resultCb) override;

 private:
  // Whether the caller may go on; logs the reason when not.
  bool AdmitsTokenCall(const std::string& scheme,
                       const Orbi::Core::ExecutionContext& context) const;
  bool AdmitsManagementCall(const std::string& scheme,
                            const Orbi::Core::ExecutionContext& context) const;

  Orbi::Core::Enqueuer enqueuer_;
  Orbi::Core::ProviderPtr next_;
  Orbi::Core::LoggerPtr logger_;
};

}  // namespace NoxToken
