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

  // The signing key, which must stay valid and unchanged until the function is called again (a
  // call per token presented, so it is not copied); may throw Basalt::Exception when it cannot be
  // read.
  using KeyFn = std::function<const std::string&()>;
  // Current UTC time in whole seconds.
  using ClockFn = std::function<int64_t()>;

  // Message of a refusal once the token's "exp" has passed; every other refusal carries
  // kInvalidTokenMessage. Their texts come from the localizer given.
  static constexpr const char* kTokenExpiredMessage = "com.tessel.nox.authentication.token_expired";
  static constexpr const char* kInvalidTokenMessage = "com.tessel.nox.authentication.invalid_token";

  // Bytes of verified tokens kept per key, with the authentication data each gives, so that a
  // token presented again is not decoded, its signature not computed and its data not built
  // again; only its expiry is checked each time.
  static constexpr size_t kVerifiedTokensBytes = 1 << 20;

  TokenHandler(Orbi::Core::LoggerPtr logger, std::shared_ptr<const Orbi::L10n::Localizer> localizer,
               KeyFn key, ClockFn clock = nullptr);

  void AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                         Orbi::Authn::AuthnCallback done) override;
  bool MayAuthenticate(const Orbi::Core::ExecutionContext& context) const override;
  // Verification and its cache need no wait.
  bool AnswersAtOnce() const override { return true; }

 private:
  // A verified token: when it expires, and the authentication data it gives, which depends on
  // its text alone and is shared, never changed, by every call that presents it.
  struct KnownToken {
    int64_t exp;
    Orbi::Data::ValuePtr result;
    size_t resultBytes;  // about what `result` holds
  };

  // A key and the tokens it verified: both go when the secret changes.
  struct PreparedKey {
    explicit PreparedKey(const std::string& secret);
    OwnTokenKey key;
    Basalt::RecentCache<std::shared_ptr<const KnownToken>> verified;
  };

  // The prepared form of `secret`, made again only when the secret changes.
  std::shared_ptr<PreparedKey> Prepared(const std::string& secret);
  // The authentication data of `token`, or why it is refused.
  static Basalt::Result<Orbi::Data::ValuePtr, OwnTokenError> Authenticate(const std::string& token,
                                                                          PreparedKey& prepared,
                                                                          int64_t now);

  Orbi::Core::LoggerPtr logger_;
  std::shared_ptr<const Orbi::L10n::Localizer> localizer_;
  KeyFn key_;
  ClockFn clock_;
  std::mutex preparedMutex_;
  std::shared_ptr<PreparedKey> prepared_;
};

}  // namespace Nox::Authn
