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
    : key(secret),
      verified(kVerifiedTokensBytes, [](const std::shared_ptr<const KnownToken>& known) {
        return sizeof(KnownToken) + known->resultBytes;
      }) {}

std::shared_ptr<TokenHandler::PreparedKey> TokenHandler::Prepared(const std::string& secret) {
  std::lock_guard<std::mutex> lock(preparedMutex_);
  if (!prepared_ || prepared_->key.Secret() != secret) {
    prepared_ = std::make_shared<PreparedKey>(secret);
  }
  return prepared_;
}

// Everything but the expiry follows from the token's text and the key, which are the same.
Basalt::Result<Orbi::Data::ValuePtr, OwnTokenError> TokenHandler::Authenticate(
    const std::string& token, PreparedKey& prepared, int64_t now) {
  if (auto known = prepared.verified.Find(token)) {
    if (now >= (*known)->exp) return Basalt::Unexpected{OwnTokenError::Expired};
    return (*known)->result;
  }
  auto verified = VerifyOwnToken(token, prepared.key, now);
  if (!verified) return Basalt::Unexpected{verified.error()};
  Orbi::Data::ValuePtr result = AuthnData::Builder(kResultName)
                                    .Username(verified->username)
                                    .AccessToken(token)
                                    .Entitlements(verified->entitlements)
                                    .Build();
  // A data value costs about a hundred bytes besides its text.
  constexpr size_t kValueBytes = 100;
  size_t bytes = 4 * kValueBytes + verified->username.size() + token.size();
  for (const auto& entitlement : verified->entitlements) bytes += kValueBytes + entitlement.size();
  prepared.verified.Insert(
      token, std::make_shared<const KnownToken>(KnownToken{verified->exp, result, bytes}));
  return result;
}

bool TokenHandler::MayAuthenticate(const Orbi::Core::ExecutionContext& context) const {
  const std::string* scheme = context.FindSecurity(Orbi::Security::kSchemeIdKey);
  return scheme && *scheme == Orbi::Security::kOAuthScheme &&
         context.FindSecurity(Orbi::Security::kAccessTokenKey);
}

void TokenHandler::AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                                     Orbi::Authn::AuthnCallback done) {
  if (!MayAuthenticate(*context)) {
    done(nullptr);
    return;
  }
  const std::string* token = context->FindSecurity(Orbi::Security::kAccessTokenKey);
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
  auto result = Authenticate(*token, *key, clock_());
  if (!result) {
    const OwnTokenError error = result.error();
    if (logger_->IsEnabled(kRefusalLevel)) {
      logger_->Log(kRefusalLevel, std::string("Token refused: ") + Describe(error));
    }
    const char* message =
        error == OwnTokenError::Expired ? kTokenExpiredMessage : kInvalidTokenMessage;
    done(Orbi::Std::Unauthenticated({{message, {}}}).ToErrorValue(*localizer_));
    return;
  }
  done(std::move(*result));
}

}  // namespace Nox::Authn
