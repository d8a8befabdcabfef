// Authenticates calls that present one of the daemon's own tokens as an OAuth access token.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/authn/authnData.h"
#include "platform/orbi/authn.h"

namespace Nox::Authn {

class TokenHandler final : public Orbi::Authn::AuthnHandler {
 public:
  // Field of the authentication data that lists the token's "entitlement" claim.
  static constexpr const char* ENTITLEMENTS_GRANTS = AuthnData::kEntitlementGrants;
  // Name of the authentication data structure.
  static constexpr const char* kResultName = AuthnData::kOwnTokenResult;

  // The signing key; may throw Basalt::Exception when it cannot be read.
  using KeyFn = std::function<std::string()>;
  // Current UTC time in whole seconds.
  using ClockFn = std::function<int64_t()>;

  TokenHandler(Orbi::Core::LoggerPtr logger, KeyFn key, ClockFn clock = nullptr);

  void AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                         Orbi::Authn::AuthnCallback done) override;

 private:
  Orbi::Core::LoggerPtr logger_;
  KeyFn key_;
  ClockFn clock_;
};

}  // namespace Nox::Authn
