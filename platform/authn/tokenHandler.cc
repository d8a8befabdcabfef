#include "platform/authn/tokenHandler.h"

#include <ctime>

#include "platform/authn/authnData.h"
#include "platform/authn/ownTokenVerifier.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/frameworkIds.h"

namespace Nox::Authn {

namespace {

// Framework level 4 is the runtime's level 3: refusals.
constexpr int kRefusalLevel = 4;

}  // namespace

TokenHandler::TokenHandler(Orbi::Core::LoggerPtr logger,
                           std::shared_ptr<const Orbi::L10n::Localizer> localizer, KeyFn key,
                           ClockFn clock)
    : logger_(std::move(logger)),
      localizer_(std::move(localizer)),
      key_(std::move(key)),
      clock_(clock ? std::move(clock)
                   : ClockFn([] { return static_cast<int64_t>(std::time(nullptr)); })) {}

TokenHandler::PreparedKey::PreparedKey(const std::string& secret)
    : key(secret), verified(kVerifiedTokensBytes, [](const OwnTokenClaims& claims) {
        size_t bytes = claims.username.size();
        for (const auto& entitlement : claims.entitlements) {
          bytes += sizeof(std::string) + entitlement.size();
        }
        return bytes;
      }) {}

std::shared_ptr<TokenHandler::PreparedKey> TokenHandler::Prepared(const std::string& secret) {
  std::lock_guard<std::mutex> lock(preparedMutex_);
  if (!prepared_ || prepared_->key.Secret() != secret) {
    prepared_ = std::make_shared<PreparedKey>(secret);
  }
  return prepared_;
}

// Everything but the expiry follows from the token's text and the key, which are the same.
OwnTokenResult TokenHandler::Verify(const std::string& token, PreparedKey& prepared, int64_t now) {
  if (auto claims = prepared.verified.Find(token)) {
    if (now >= claims->exp) return Basalt::Unexpected{OwnTokenError::Expired};
    return std::move(*claims);
  }
  auto verified = VerifyOwnToken(token, prepared.key, now);
  if (verified) prepared.verified.Insert(token, *verified);
  return verified;
}

void TokenHandler::AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                                     Orbi::Authn::AuthnCallback done) {
  const std::string* scheme = context->FindSecurity(Orbi::Security::kSchemeIdKey);
  const std::string* token = context->FindSecurity(Orbi::Security::kAccessTokenKey);
  if (!scheme || *scheme != Orbi::Security::kOAuthScheme || !token) {
    done(nullptr);
    return;
  }
  std::shared_ptr<PreparedKey> key;
  try {
    key = Prepared(key_());
  } catch (const std::exception& e) {
    if (logger_->IsEnabled(kRefusalLevel)) {
      logger_->Log(kRefusalLevel,
                   std::string("Cannot verify token, signing key unavailable: ") + e.what());
    }
    done(Orbi::Std::Unauthenticated({{kInvalidTokenMessage, {}}}).ToErrorValue(*localizer_));
    return;
  }
  auto verified = Verify(*token, *key, clock_());
  if (!verified) {
    const OwnTokenError error = verified.error();
    if (logger_->IsEnabled(kRefusalLevel)) {
      logger_->Log(kRefusalLevel, std::string("Token refused: ") + Describe(error));
    }
    const char* message =
        error == OwnTokenError::Expired ? kTokenExpiredMessage : kInvalidTokenMessage;
    done(Orbi::Std::Unauthenticated({{message, {}}}).ToErrorValue(*localizer_));
    return;
  }
  const OwnTokenClaims& claims = *verified;
  done(AuthnData::Builder(kResultName)
           .Username(claims.username)
           .AccessToken(*token)
           .Entitlements(claims.entitlements)
           .Build());
}

}  // namespace Nox::Authn
