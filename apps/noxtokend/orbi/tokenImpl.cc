#include "apps/noxtokend/orbi/tokenImpl.h"

#include "apps/noxtokend/orbi/externalSts/messageIds.h"
#include "apps/noxtokend/orbi/secret.h"
#include "platform/authn/ownTokenWriter.h"
#include "platform/basalt/dateTime.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/errors.h"

namespace Com::Tessel::Nox::Authentication {

namespace {

using ::Nox::Authn::AuthnData::StsGroup;

std::string GroupsText(const std::vector<StsGroup>& groups) {
  std::string text;
  for (const auto& group : groups) text += "(" + group.name + "@" + group.domain + "); ";
  return text;
}

void FailSigning(const Orbi::Bind::Reply<TokenSvc::TokenInfo>& reply, const std::string& reason) {
  reply.Fail(
      Orbi::Std::InternalServerError({{MessageIds::kSigningKeyUnavailable, {{"reason", reason}}}}));
}

}  // namespace

TokenImpl::TokenImpl(EntitlementsFn entitlements, KeyFn key, ClockFn clock)
    : entitlements_(std::move(entitlements)),
      key_(key ? std::move(key) : KeyFn([] { return Secret::Get(); })),
      clock_(clock ? std::move(clock) : ClockFn(&Basalt::System::UtcMicrosecondsNow)) {}

void TokenImpl::Create(Orbi::Core::ExecutionContextPtr context,
                       Orbi::Bind::Reply<TokenSvc::TokenInfo> reply) {
  ::Nox::Authn::AuthnData::Reader caller(context->authnResult);
  if (!caller.Username()) {
    Basalt::Log("Cannot issue a jwt token, username not found");
    reply.Fail(Orbi::Std::Unauthenticated());
    return;
  }
  bool isExternal = caller.IsExternal();
  std::string issuerAlias = isExternal ? *caller.IssuerAlias() : std::string();
  std::string userName = *caller.Username();
  std::string domain = caller.Domain() ? *caller.Domain() : std::string();

  std::vector<StsGroup> groups = caller.Groups();
  {
    const Basalt::Service::HeldLogLines oneWrite;
    // Fifty groups make a long text, not worth composing for a caller whose lines go unseen.
    if (caller.HasGroups() && !Basalt::LogLineHeldBack()) {
      Basalt::Log("TokenImpl::Create: sts groups found for user [%s, %s, %s]: %s",
                  issuerAlias.c_str(), domain.c_str(), userName.c_str(),
                  GroupsText(groups).c_str());
    }
    Basalt::Log("Creating token for [%s, %s, %s]", issuerAlias.c_str(), domain.c_str(),
                userName.c_str());
  }

  ::Nox::Authn::OwnTokenClaims claims;
  claims.username = std::move(userName);
  claims.exp = clock_() / 1000000 + kLifetimeSeconds;
  if (entitlements_) {
    if (auto names = entitlements_(issuerAlias, domain, claims.username, isExternal, groups)) {
      claims.entitlements = std::move(*names);
      claims.hasEntitlementClaim = true;
    }
  }

  std::string key;
  try {
    key = key_();
  } catch (const Basalt::Exception& e) {
    FailSigning(reply, e.GetMessage());
    return;
  }
  // An empty key would sign with nothing; refuse rather than issue such a token.
  if (key.empty()) {
    FailSigning(reply, "the signing secret is empty");
    return;
  }
  std::shared_ptr<const ::Nox::Authn::OwnTokenKey> keyed;
  try {
    keyed = Keyed(key);
  } catch (const std::runtime_error&) {
    FailSigning(reply, "the signing secret was refused");
    return;
  }
  auto encoded = ::Nox::Authn::WriteOwnToken(claims, *keyed);
  if (!encoded) throw Basalt::Exception("cannot encode the token");
  reply.Answer({std::move(*encoded)});
}

std::shared_ptr<const ::Nox::Authn::OwnTokenKey> TokenImpl::Keyed(const std::string& secret) {
  std::lock_guard lock(keyedMutex_);
  if (!keyed_ || keyed_->Secret() != secret) {
    keyed_ = std::make_shared<const ::Nox::Authn::OwnTokenKey>(secret);
  }
  return keyed_;
}

}  // namespace Com::Tessel::Nox::Authentication
