#include "apps/noxtokend/orbi/jwtEntitlementsAuthzFilter.h"

#include <algorithm>
#include <variant>

#include "platform/authn/authnData.h"
#include "platform/bindings/clientProfiles.h"
#include "platform/bindings/clientProfilesSvc.h"
#include "platform/orbi/authz.h"
#include "platform/orbi/frameworkIds.h"

namespace NoxToken {

namespace Auth = Com::Tessel::Nox::Authentication;
using Auth::ClientProfilesSvc::Entitlement;
using Nox::Authn::AuthnData::EntitlementsProblem;
using Nox::Authn::AuthnData::Reader;
using Orbi::Bind::Admission;
using Orbi::Security::kOAuthScheme;

namespace {

// Framework levels: 0 traces, 1 details, 3 refusals, 4 unreadable credentials.
constexpr int kTrace = 0;
constexpr int kDetail = 1;
constexpr int kRefusal = 3;
constexpr int kUnreadable = 4;

}  // namespace

JwtEntitlementsAuthzFilter::JwtEntitlementsAuthzFilter(
    Orbi::Core::Enqueuer enqueuer, Orbi::Core::ProviderPtr next, Orbi::Core::LoggerPtr logger,
    std::shared_ptr<const Orbi::Provider::AsyncLocalProvider> served)
    : enqueuer_(std::move(enqueuer)),
      next_(std::move(next)),
      logger_(std::move(logger)),
      served_(std::move(served)) {}

void JwtEntitlementsAuthzFilter::Invoke(const Orbi::Core::MethodIdentifier& method,
                                        Orbi::Data::ValuePtr input,
                                        Orbi::Core::ExecutionContextPtr context,
                                        Orbi::Core::AsyncApiResultCb resultCb) {
  const std::string& interfaceId = method.interfaceId;
  if (logger_->IsEnabled(kTrace)) {
    logger_->Log(kTrace, "JwtEntitlementsAuthzFilter::Invoke method: " + method.ToString() +
                             "; methodName: " + method.operationName +
                             "; interfaceName: " + interfaceId);
  }
  if (logger_->IsEnabled(kDetail)) {
    const std::string* scheme = context->FindSecurity(Orbi::Security::kSchemeIdKey);
    logger_->Log(kDetail, "JwtEntitlementsAuthzFilter userReq matches. isAuth: " +
                              std::to_string(context->authnResult != nullptr) +
                              ", svcId=" + interfaceId +
                              ", authentication scheme: " + (scheme ? *scheme : std::string()));
  }

  if (auto refusal = Check(method, *context)) {
    logger_->Log(refusal->level, refusal->line);
    enqueuer_(Orbi::Authz::Filter::GenerateUnauthorized(std::move(resultCb)));
    return;
  }
  next_->Invoke(method, std::move(input), std::move(context), std::move(resultCb));
}

bool JwtEntitlementsAuthzFilter::Admits(const Orbi::Core::MethodIdentifier& method,
                                        const Orbi::Core::ExecutionContext& context) const {
  return !Check(method, context);
}

std::optional<JwtEntitlementsAuthzFilter::Refusal> JwtEntitlementsAuthzFilter::Check(
    const Orbi::Core::MethodIdentifier& method, const Orbi::Core::ExecutionContext& context) const {
  const auto service = served_->FindService(method.interfaceId);
  const Orbi::Bind::OperationDef* operation =
      service ? service->FindOperation(method.operationName) : nullptr;
  if (!operation)
    return std::nullopt;  // not served: the local provider answers operation_not_found
  const std::string* schemeId = context.FindSecurity(Orbi::Security::kSchemeIdKey);
  const std::string scheme = schemeId ? *schemeId : std::string();
  switch (operation->admission) {
    case Admission::kAnyone:
      return std::nullopt;
    case Admission::kCredentialExchange:
      return CheckTokenCall(method.interfaceId, scheme, context);
    case Admission::kManagement:
      return CheckManagementCall(scheme, context);
    case Admission::kUndeclared:
      break;
  }
  return Refusal{kRefusal,
                 "Operation " + method.ToString() + " declares no admission, turning down request"};
}

std::optional<JwtEntitlementsAuthzFilter::Refusal> JwtEntitlementsAuthzFilter::CheckTokenCall(
    const std::string& interfaceId, const std::string& scheme,
    const Orbi::Core::ExecutionContext& context) const {
  // Only an external issuer's token may be exchanged; a daemon token may not renew itself.
  if (scheme != kOAuthScheme || Reader(context.authnResult).IsExternal()) return std::nullopt;
  return Refusal{kRefusal, "Denying jwt authentication for interface " + interfaceId};
}

std::optional<JwtEntitlementsAuthzFilter::Refusal> JwtEntitlementsAuthzFilter::CheckManagementCall(
    const std::string& scheme, const Orbi::Core::ExecutionContext& context) const {
  if (scheme != kOAuthScheme) {
    return Refusal{kRefusal, "Wrong authentication scheme used: " + scheme +
                                 "; expected: " + std::string(kOAuthScheme)};
  }
  Reader caller(context.authnResult);
  if (!caller.IsAuthenticated()) {
    return Refusal{kRefusal, "No authentication data available; isAuth: 0"};
  }
  auto names = caller.Entitlements();
  if (!names) {
    if (names.error() == EntitlementsProblem::kNotAList) {
      return Refusal{kUnreadable, "Failed to get entitlements from jwt token"};
    }
    return Refusal{kRefusal, "jwt token entitlements unavailable in authentication data"};
  }
  const std::vector<std::string>& granted = *names;
  if (std::any_of(granted.begin(), granted.end(), [](const std::string& name) {
        return Entitlement::FromString(name) == Entitlement::ADMINISTRATOR;
      })) {
    return std::nullopt;
  }
  return Refusal{kRefusal, "jwt entitlement \"" +
                               Entitlement(Entitlement::ADMINISTRATOR).ToString() +
                               "\" not granted, turning down request"};
}

}  // namespace NoxToken
