#include "apps/noxtokend/orbi/tokenImpl.h"

#include "apps/noxtokend/orbi/externalSts/messageIds.h"
#include "apps/noxtokend/orbi/secret.h"
#include "platform/authn/jwtHandle.h"
#include "platform/basalt/dateTime.h"
#include "platform/basalt/exception.h"
#include "platform/orbi/errors.h"

namespace Com::Tessel::Nox::Authentication {

namespace {

using ::Nox::Authn::JwtPtr;

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
  if (caller.HasGroups()) {
    Basalt::Log("TokenImpl::Create: sts groups found for user [%s, %s, %s]: %s",
                issuerAlias.c_str(), domain.c_str(), userName.c_str(), GroupsText(groups).c_str());
  }
  Basalt::Log("Creating token for [%s, %s, %s]", issuerAlias.c_str(), domain.c_str(),
              userName.c_str());

  jwt_t* raw = nullptr;
  if (jwt_new(&raw) != 0) throw Basalt::Exception("cannot allocate a token");
  JwtPtr token(raw);
  jwt_add_grant(token.get(), "username", userName.c_str());
  jwt_add_grant_int(token.get(), "exp", clock_() / 1000000 + kLifetimeSeconds);
  if (entitlements_) {
    entitlements_(issuerAlias, domain, userName, isExternal, groups, token.get());
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
  if (jwt_set_alg(token.get(), JWT_ALG_HS256, reinterpret_cast<const unsigned char*>(key.data()),
                  static_cast<int>(key.size())) != 0) {
    FailSigning(reply, "the signing secret was refused");
    return;
  }
  ::Nox::Authn::JwtText encoded(jwt_encode_str(token.get()));
  if (!encoded) throw Basalt::Exception("cannot encode the token");
  reply.Answer({encoded.get()});
}

}  // namespace Com::Tessel::Nox::Authentication
