#include "apps/noxtokend/orbi/jwtEntitlementsAuthzFilter.h"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/authn/authnData.h"
#include "platform/bindings/clientProfilesSvc.h"
#include "platform/bindings/securityTokenIssuersSvc.h"
#include "platform/bindings/tokenSvc.h"
#include "platform/bindings/verificationSvc.h"
#include "platform/orbi/frameworkIds.h"
#include "platform/orbi/introspection.h"

namespace NoxToken {
namespace {

namespace Auth = Com::Tessel::Nox::Authentication;
namespace AuthnData = Nox::Authn::AuthnData;

class RecordingLogger final : public Orbi::Core::Logger {
 public:
  bool IsEnabled(int) const override { return true; }
  void Log(int level, const std::string& text) const override {
    lines.push_back(std::to_string(level) + " " + text);
  }
  mutable std::vector<std::string> lines;
};

class CountingProvider final : public Orbi::Core::AsyncApiProvider {
 public:
  std::string ToString() const override { return "next"; }
  void Invoke(const Orbi::Core::MethodIdentifier&, Orbi::Data::ValuePtr,
              Orbi::Core::ExecutionContextPtr, Orbi::Core::AsyncApiResultCb resultCb) override {
    ++calls;
    resultCb(Orbi::Core::MethodResult::Output(Orbi::Data::VoidValue::Get()), std::nullopt, nullptr);
  }
  int calls = 0;
};

// The real declarations, served without implementations: the filter reads only them.
Orbi::Provider::InterfacePtr Unimplemented(const Orbi::Bind::ServiceDef& def) {
  std::map<std::string, Orbi::Provider::OperationHandler> handlers;
  for (const auto& op : def.operations) handlers.emplace(op.name, [](auto, auto, auto) {});
  return std::make_shared<Orbi::Provider::BoundInterface>(def, std::move(handlers));
}

const Orbi::Bind::ServiceDef kUndeclared{"t.undeclared", {{"op", {}, Orbi::Bind::Type::Void()}}};

std::shared_ptr<Orbi::Provider::AsyncLocalProvider> Served() {
  auto served = std::make_shared<Orbi::Provider::AsyncLocalProvider>(
      [](std::function<void()> work) { work(); }, nullptr);
  for (const auto* def :
       {&Auth::TokenSvc::AsyncServiceBinder::Definition(),
        &Auth::VerificationSvc::AsyncServiceBinder::Definition(),
        &Auth::ClientProfilesSvc::AsyncServiceBinder::Definition(),
        &Auth::Trust::SecurityTokenIssuersSvc::AsyncServiceBinder::Definition(), &kUndeclared}) {
    served->AddInterface(Unimplemented(*def));
  }
  served->AddInterface(Orbi::Provider::CreateServiceIntrospection(served));
  return served;
}

struct Caller {
  std::string label;
  std::string scheme;          // empty: no "schemeId"
  Orbi::Data::ValuePtr authn;  // what the authentication filters left
  bool mayCreateTokens;
  std::string managementRefusal;  // empty: admitted to both management services
};

Orbi::Data::ValuePtr OwnToken(const std::vector<std::string>& entitlements) {
  return AuthnData::Builder(AuthnData::kOwnTokenResult)
      .Username("root")
      .AccessToken("t")
      .Entitlements(entitlements)
      .Build();
}

const std::string kOAuth = Orbi::Security::kOAuthScheme;
const std::string kNotGranted =
    "3 jwt entitlement \"ADMINISTRATOR\" not granted, turning down request";

std::vector<Caller> Callers() {
  auto notAList = AuthnData::Builder(AuthnData::kOwnTokenResult).Username("root").Build();
  notAList->SetField(AuthnData::kEntitlementGrants, Orbi::Data::StringValue::Create("x"));
  return {
      {"administrator", kOAuth, OwnToken({"OPERATOR", "ADMINISTRATOR"}), false, ""},
      {"no_entitlements", kOAuth, OwnToken({}), false, kNotGranted},
      {"other_entitlements", kOAuth, OwnToken({"OPERATOR", "administrator"}), false, kNotGranted},
      {"entitlements_not_a_list", kOAuth, notAList, false,
       "4 Failed to get entitlements from jwt token"},
      {"external_token", kOAuth,
       AuthnData::Builder(AuthnData::kExternalJwtResult).Username("u").IssuerAlias("idp").Build(),
       true, "3 jwt token entitlements unavailable in authentication data"},
      {"oauth_unauthenticated", kOAuth, nullptr, false,
       "3 No authentication data available; isAuth: 0"},
      {"user_pass", Orbi::Security::kUserPassScheme,
       AuthnData::Builder(AuthnData::kUserPassResult).Username("root").Build(), true,
       "3 Wrong authentication scheme used: com.tessel.orbi.std.security.user_pass; expected: "
       "com.tessel.orbi.std.security.oauth"},
      {"saml", Orbi::Security::kSamlHokScheme,
       AuthnData::Builder(AuthnData::kSamlTokenResult).Username("u").IssuerAlias("idp").Build(),
       true,
       "3 Wrong authentication scheme used: com.tessel.orbi.std.security.saml_hok_token; "
       "expected: com.tessel.orbi.std.security.oauth"},
      {"anonymous", "", nullptr, true,
       "3 Wrong authentication scheme used: ; expected: com.tessel.orbi.std.security.oauth"},
  };
}

class AuthzFilterMatrix : public ::testing::TestWithParam<Caller> {
 protected:
  // Invokes one operation; answers the error kind of a refusal, or "passed".
  std::string Call(const std::string& interfaceId, const std::string& operation) {
    logger_->lines.clear();
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    if (!GetParam().scheme.empty()) context->securityCtx["schemeId"] = GetParam().scheme;
    context->authnResult = GetParam().authn;
    const bool admits = filter_->Admits({interfaceId, operation}, *context);
    EXPECT_TRUE(logger_->lines.empty());  // decided without a line
    int before = next_->calls;
    std::string outcome = "unanswered";
    filter_->Invoke({interfaceId, operation}, nullptr, context,
                    [&](const std::optional<Orbi::Core::MethodResult>& result, auto, auto) {
                      if (!result) return;
                      outcome = result->error ? result->error->GetErrorKind() : "passed";
                    });
    EXPECT_EQ(next_->calls - before, outcome == "passed" ? 1 : 0);
    EXPECT_EQ(admits, outcome == "passed");
    return outcome;
  }

  // The lines after the two trace lines every call writes.
  std::vector<std::string> Refusals() const {
    return {logger_->lines.begin() + 2, logger_->lines.end()};
  }

  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
  std::shared_ptr<CountingProvider> next_ = std::make_shared<CountingProvider>();
  int enqueued_ = 0;
  std::shared_ptr<JwtEntitlementsAuthzFilter> filter_ =
      std::make_shared<JwtEntitlementsAuthzFilter>(
          [this](std::function<void()> work) {
            ++enqueued_;
            work();
          },
          next_, logger_, Served());
};

TEST_P(AuthzFilterMatrix, AdmitsOrRefusesEachInterface) {
  const Caller& caller = GetParam();
  const std::string tokens =
      caller.mayCreateTokens
          ? ""
          : "3 Denying jwt authentication for interface com.tessel.nox.authentication.token";
  // Each call with the one line of its refusal, empty when admitted. Open operations include one
  // not served at all, which the local provider answers; one served without an admission is
  // refused to everyone.
  const std::tuple<std::string, std::string, std::string> calls[] = {
      {Auth::ClientProfilesSvc::kServiceId, "delete", caller.managementRefusal},
      {Auth::Trust::SecurityTokenIssuersSvc::kServiceId, "delete", caller.managementRefusal},
      {Auth::TokenSvc::kServiceId, "create", tokens},
      {Auth::VerificationSvc::kServiceId, "verify", ""},
      {"com.tessel.orbi.std.introspection.service", "list", ""},
      {kUndeclared.id, "absent", ""},
      {kUndeclared.id, "op",
       "3 Operation t.undeclared.op declares no admission, turning down request"},
  };
  for (const auto& [interfaceId, operation, refusal] : calls) {
    SCOPED_TRACE(interfaceId + "." + operation);
    EXPECT_EQ(Call(interfaceId, operation), refusal.empty() ? "passed" : "unauthorized");
    EXPECT_EQ(Refusals(), refusal.empty() ? std::vector<std::string>{} : std::vector{refusal});
  }
  EXPECT_EQ(enqueued_, (caller.managementRefusal.empty() ? 0 : 2) + !caller.mayCreateTokens + 1);
}

INSTANTIATE_TEST_SUITE_P(Callers, AuthzFilterMatrix, ::testing::ValuesIn(Callers()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
}  // namespace NoxToken
