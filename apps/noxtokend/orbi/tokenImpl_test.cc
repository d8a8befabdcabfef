#include "apps/noxtokend/orbi/tokenImpl.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include "apps/noxtokend/orbi/entitlements.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"
#include "apps/noxtokend/orbi/messageTable.h"
#include "apps/noxtokend/orbi/tokenVerifyImpl.h"
#include "platform/authn/ownTokenVerifier.h"
#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/exception.h"
#include "platform/configstore/configStoreTestRoot.h"
#include "platform/orbi/json.h"
#include "platform/orbi/replyRecorder.h"

namespace Com::Tessel::Nox::Authentication {
namespace {

using namespace ClientProfilesSvc;
using Basalt::Service::Logger;
using Opt = std::optional<std::string>;

constexpr const char* kKey = "0123456789abcdef0123456789abcdef";
constexpr int64_t kNowMicros = 1'700'000'000'999'999;  // the fraction must never round up

namespace AuthnData = ::Nox::Authn::AuthnData;

template <class T>
using Outcome = Orbi::Bind::Testing::ReplyRecorder<T>;

// The token's claims as compact JSON, after checking it verifies under the key.
std::string Claims(const std::string& token) {
  auto verified = ::Nox::Authn::VerifyOwnToken(token, kKey, kNowMicros / 1000000);
  EXPECT_TRUE(verified.has_value());
  auto payload = Basalt::Crypto::DecodeBase64(
      token.substr(token.find('.') + 1, token.rfind('.') - token.find('.') - 1),
      Basalt::Crypto::Base64Alphabet::kUrl);
  EXPECT_TRUE(payload);
  Orbi::Json::JsonPtr json(json_loadb(payload->data(), payload->size(), 0, nullptr));
  return Orbi::Json::Dump(*Orbi::Json::JsonPtr(json_deep_copy(json.get())));
}

Orbi::Core::ExecutionContextPtr Caller(Orbi::Data::ValuePtr authn) {
  auto context = std::make_shared<Orbi::Core::ExecutionContext>();
  context->authnResult = std::move(authn);
  return context;
}

AuthnData::Builder Identity(const std::string& user) {
  return std::move(AuthnData::Builder(AuthnData::kUserPassResult).Username(user));
}

Outcome<TokenSvc::TokenInfo> Create(TokenImpl& impl, Orbi::Core::ExecutionContextPtr context) {
  Outcome<TokenSvc::TokenInfo> outcome(CreateLocalizer());
  impl.Create(context, outcome.Reply());
  return outcome;
}

TEST(TokenImplTest, ClaimsAreNameAndWholeSecondExpiryAndEveryFailureIsAnErrorValue) {
  TokenImpl impl(
      nullptr, [] { return std::string(kKey); }, [] { return kNowMicros; });
  auto outcome = Create(impl, Caller(Identity("alice").Build()));
  ASSERT_TRUE(outcome.value);
  // Keys sorted by libjwt; exp is the whole second of issue plus 300.
  EXPECT_EQ(Claims(outcome.value->token), R"({"exp":1700000300,"username":"alice"})");

  for (auto context : {Caller(nullptr), Caller(Orbi::Data::StringValue::Create("x")),
                       Caller(Orbi::Data::StructValue::GetInstance("Empty"))}) {
    EXPECT_EQ(Create(impl, context).error->kind, Orbi::Std::ErrorKind::kUnauthenticated);
  }
  TokenImpl missing(nullptr, []() -> std::string { throw Basalt::Exception("no such file"); });
  auto failed = Create(missing, Caller(Identity("a").Build()));
  EXPECT_EQ(failed.error->kind, Orbi::Std::ErrorKind::kInternalServerError);
  EXPECT_NE(failed.Text(0).find("no such file"), std::string::npos);
  TokenImpl empty(nullptr, [] { return std::string(); });
  EXPECT_TRUE(Create(empty, Caller(Identity("a").Build())).error);
}

TEST(EntitlementsTest, ExternalCallersGetTheUnionOfUserAndGroupProfilesOnce) {
  NoxConfigStore::Testing::TemporaryHostRoot root;
  root.InstallSchemaFile(NOX_SCHEMA_FILE);
  auto profiles = std::make_shared<NoxToken::ClientProfileAccess>(
      NoxConfigStore::ConfigStore::Open(root.StoreOptions()), [](std::chrono::seconds) {});
  auto add = [&](SubjectType type, std::string name, GrantList grants, Opt alias, Opt domain) {
    auto info = std::make_shared<Info>(
        Info{std::make_shared<Subject>(Subject{type, name, alias, domain}), grants});
    Basalt::System::ScopedWriteLock lock(*profiles);
    EXPECT_TRUE(profiles->Insert(NoxToken::MakeProfileName(*info->subject), info).ok());
  };
  auto grant = [](Entitlement entitlement) {
    return std::make_shared<AccessGrant>(AccessGrant{ResourceType::HOST, entitlement});
  };
  add(SubjectType::EXTERNAL_GROUP, "g1", {grant(Entitlement::OPERATOR)}, "idp", "corp");
  add(SubjectType::EXTERNAL_GROUP, "g2",
      {grant(Entitlement::OPERATOR), grant(Entitlement::READ_ONLY)}, "idp", "corp");
  add(SubjectType::EXTERNAL_USER, "root", {grant(Entitlement::OPERATOR)}, "idp", "corp");
  // A local profile of the same name never applies to an external caller.
  add(SubjectType::LOCAL_USER, "bob", {grant(Entitlement::ADMINISTRATOR)}, {}, {});

  TokenImpl impl(
      NoxToken::MakeEntitlementsFn(profiles), [] { return std::string(kKey); },
      [] { return kNowMicros; });
  auto claims = [&](const AuthnData::Builder& identity) {
    return Claims(Create(impl, Caller(identity.Build())).value->token);
  };
  EXPECT_NE(claims(Identity("root").IssuerAlias("idp").Domain("corp").Groups(
                       {{"g1", "corp"}, {"g2", "corp"}, {"G1", "corp"}}))
                .find(R"("entitlement":["OPERATOR","READ_ONLY"])"),
            std::string::npos);
  EXPECT_NE(claims(Identity("bob").IssuerAlias("idp")).find(R"("entitlement":[])"),
            std::string::npos);
}

struct Verified : Outcome<std::string> {
  std::vector<std::string> lines;
};

Verified Verify(Orbi::Core::StringMap security, Orbi::Data::ValuePtr authn) {
  Verified verified;
  auto logger = Logger::CreateRoot("TokenVerifyImpl", 5, [&](const auto& r) {
    verified.lines.push_back(std::to_string(r.level) + " " + std::string(r.text));
  });
  TokenVerifyImpl impl(logger);
  auto context = Caller(std::move(authn));
  context->securityCtx = std::move(security);
  impl.Verify(context, verified.Reply());
  return verified;
}

TEST(TokenVerifyImplTest, AnswersTheUserOfADaemonTokenOnly) {
  const std::string oauth = "com.tessel.orbi.std.security.oauth";
  auto ok = Verify({{"schemeId", oauth}, {"accessToken", "t"}},
                   Identity("carol").AccessToken("t").Build());
  EXPECT_EQ(ok.value, "carol");
  EXPECT_EQ(ok.lines, std::vector<std::string>{"5 OAuthSecurityContext is presented!"});
  auto userPass = Verify({{"schemeId", "com.tessel.orbi.std.security.user_pass"},
                          {"userName", "carol"},
                          {"password", "p"}},
                         Identity("carol").Build());
  EXPECT_EQ(userPass.error->kind, Orbi::Std::ErrorKind::kInvalidArgument);
  EXPECT_EQ(userPass.lines,
            (std::vector<std::string>{"5 UserPass is presented!", "3 No Access Token"}));
  EXPECT_EQ(Verify({}, nullptr).lines, std::vector<std::string>{"3 No Authentication Data"});
  EXPECT_EQ(Verify({}, Orbi::Data::StructValue::GetInstance("X")).lines,
            (std::vector<std::string>{"3 No useraname present (from the TokenHandler)",
                                      "3 No Access Token"}));
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication
