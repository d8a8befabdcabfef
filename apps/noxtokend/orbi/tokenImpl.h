// The token service: issues a daemon token (HS256 JWT) to the authenticated caller.
//
// Thread-safe: calls may run at once. The signing secret is read on each call; its keyed HMAC
// state is prepared again only when the secret changes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/authn/authnData.h"
#include "platform/authn/ownTokenVerifier.h"
#include "platform/bindings/tokenSvc.h"

namespace Com::Tessel::Nox::Authentication {

class TokenImpl final : public TokenSvc::AsyncServiceInterface {
 public:
  // The names of the "entitlement" claim for (issuer alias, domain, user name, is external,
  // groups), in the claim's order; nothing when the token gets no such claim.
  using EntitlementsFn = std::function<std::optional<std::vector<std::string>>(
      const std::string& issuerAlias, const std::string& domain, const std::string& userName,
      bool isExternal, const std::vector<::Nox::Authn::AuthnData::StsGroup>& groups)>;
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
  // The keyed form of `secret`; throws std::runtime_error when OpenSSL refuses it.
  std::shared_ptr<const ::Nox::Authn::OwnTokenKey> Keyed(const std::string& secret);

  EntitlementsFn entitlements_;
  KeyFn key_;
  ClockFn clock_;
  std::mutex keyedMutex_;  // guards keyed_
  std::shared_ptr<const ::Nox::Authn::OwnTokenKey> keyed_;
};

}  // namespace Com::Tessel::Nox::Authentication
