// Authenticates calls that present one of the daemon's own tokens as an OAuth access token.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/authn/authnData.h"
#include "platform/authn/ownTokenVerifier.h"
#include "platform/orbi/authn.h"
#include "platform/orbi/localizer.h"

namespace Nox::Authn {

// Thread-safe: calls from any number of threads share one prepared key under a mutex.
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

  // Message of a refusal once the token's "exp" has passed; every other refusal carries
  // kInvalidTokenMessage. Their texts come from the localizer given.
  static constexpr const char* kTokenExpiredMessage = "com.tessel.nox.authentication.token_expired";
  static constexpr const char* kInvalidTokenMessage = "com.tessel.nox.authentication.invalid_token";

  TokenHandler(Orbi::Core::LoggerPtr logger, std::shared_ptr<const Orbi::L10n::Localizer> localizer,
               KeyFn key, ClockFn clock = nullptr);

  void AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                         Orbi::Authn::AuthnCallback done) override;

 private:
  // The prepared form of `secret`, made again only when the secret changes.
  std::shared_ptr<const OwnTokenKey> Prepared(const std::string& secret);

  Orbi::Core::LoggerPtr logger_;
  std::shared_ptr<const Orbi::L10n::Localizer> localizer_;
  KeyFn key_;
  ClockFn clock_;
  std::mutex preparedMutex_;
  std::shared_ptr<const OwnTokenKey> prepared_;
};

}  // namespace Nox::Authn
