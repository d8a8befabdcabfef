// The token service: issues a daemon token (HS256 JWT) to the authenticated caller.
#pragma once

#include <jwt.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/authn/authnData.h"
#include "platform/bindings/tokenSvc.h"

namespace Com::Tessel::Nox::Authentication {

class TokenImpl final : public TokenSvc::AsyncServiceInterface {
 public:
  // Adds the "entitlement" claim for (issuer alias, domain, user name, is external, groups).
  using EntitlementsFn = std::function<void(
      const std::string& issuerAlias, const std::string& domain, const std::string& userName,
      bool isExternal, const std::vector<::Nox::Authn::AuthnData::StsGroup>& groups, jwt_t* token)>;
  // The signing key; throws Basalt::Exception when it cannot be read.
  using KeyFn = std::function<std::string()>;
  // Current UTC time in microseconds since the epoch.
  using ClockFn = std::function<int64_t()>;

  static constexpr int64_t kLifetimeSeconds = 300;

  // Null `key` reads the signing secret; null `clock` reads the system clock.
  explicit TokenImpl(EntitlementsFn entitlements, KeyFn key = nullptr, ClockFn clock = nullptr);

  void Create(Orbi::Core::ExecutionContextPtr context,
              Orbi::Bind::Reply<TokenSvc::TokenInfo> reply) override;

 private:
  EntitlementsFn entitlements_;
  KeyFn key_;
  ClockFn clock_;
};

}  // namespace Com::Tessel::Nox::Authentication
