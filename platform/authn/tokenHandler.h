// Authenticates calls that present one of the daemon's own tokens as an OAuth access token.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/authn/authnData.h"
#include "platform/authn/ownTokenVerifier.h"
#include "platform/basalt/recentCache.h"
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

  // Bytes of the claims of verified tokens kept per key, so that a token presented again is not
  // decoded and its signature not computed again; only its expiry is checked each time.
  static constexpr size_t kVerifiedTokensBytes = 1 << 20;

  TokenHandler(Orbi::Core::LoggerPtr logger, std::shared_ptr<const Orbi::L10n::Localizer> localizer,
               KeyFn key, ClockFn clock = nullptr);

  void AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                         Orbi::Authn::AuthnCallback done) override;

 private:
  // A key and the tokens it verified: both go when the secret changes.
  struct PreparedKey {
    explicit PreparedKey(const std::string& secret);
    OwnTokenKey key;
    Basalt::RecentCache<OwnTokenClaims> verified;
  };

  // The prepared form of `secret`, made again only when the secret changes.
  std::shared_ptr<PreparedKey> Prepared(const std::string& secret);
  static OwnTokenResult Verify(const std::string& token, PreparedKey& prepared, int64_t now);

  Orbi::Core::LoggerPtr logger_;
  std::shared_ptr<const Orbi::L10n::Localizer> localizer_;
  KeyFn key_;
  ClockFn clock_;
  std::mutex preparedMutex_;
  std::shared_ptr<PreparedKey> prepared_;
};

}  // namespace Nox::Authn
