#include "apps/noxtokend/orbi/clientProfileImpl.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "apps/noxtokend/orbi/entitlements.h"
#include "apps/noxtokend/orbi/messageTable.h"
#include "apps/noxtokend/orbi/tokenImpl.h"
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
using Basalt::Service::LogRecord;
using NoxToken::ClientProfileAccess;

template <class T>
using Answer = Orbi::Bind::Testing::ReplyRecorder<T>;

// The failure's kind, empty for an answer.
template <class T>
std::string Kind(const Answer<T>& answer) {
  return answer.error ? Orbi::Std::KindName(answer.error->kind) : "";
}

std::shared_ptr<AccessGrant> Grant(Entitlement entitlement) {
  return std::make_shared<AccessGrant>(AccessGrant{ResourceType::HOST, entitlement});
}

std::vector<std::string> Names(const GrantList& grants) {
  std::vector<std::string> names;
  for (const auto& grant : grants) names.push_back(grant->entitlement->ToString());
  return names;
}

class ClientProfileImplTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLogger_ = Logger::sDefaultLogger;
    Logger::sDefaultLogger = Logger::CreateRoot("default", 7, [this](const LogRecord& record) {
      std::lock_guard<std::mutex> guard(linesMutex_);
      if (record.logger == "ClientProfileImpl") {
        lines_.push_back(std::to_string(record.level) + " " + std::string(record.text));
      }
    });
    root_.InstallSchemaFile(NOX_SCHEMA_FILE);
    Start(root_.StoreOptions());
  }
  void TearDown() override { Logger::sDefaultLogger = savedLogger_; }

  void Start(NoxConfigStore::ConfigStoreOptions options) {
    impl_.reset();
    profiles_ = std::make_shared<ClientProfileAccess>(NoxConfigStore::ConfigStore::Open(options),
                                                      [](std::chrono::seconds) {});
    impl_ = std::make_shared<ClientProfileImpl>(profiles_);
  }

  template <class T, class Call>
  Answer<T> Ask(Call call) {
    Answer<T> answer(localizer_);
    call(answer.Reply());
    EXPECT_EQ(answer.calls, 1) << "answered exactly once";
    return answer;
  }

  Answer<std::string> Create(CreateSpec spec) {
    return Ask<std::string>([&](auto reply) { impl_->Create(nullptr, spec, reply); });
  }
  Answer<std::vector<Summary>> List(std::optional<FilterSpec> filter,
                                    std::optional<Projection> projection = std::nullopt) {
    return Ask<std::vector<Summary>>(
        [&](auto reply) { impl_->List(nullptr, filter, projection, reply); });
  }
  Answer<Info> Get(const std::string& name) {
    return Ask<Info>([&](auto reply) { impl_->Get(nullptr, name, reply); });
  }
  Answer<void> Set(const std::string& name, GrantList grants) {
    return Ask<void>([&](auto reply) { impl_->Set(nullptr, name, SetSpec{grants}, reply); });
  }
  Answer<void> Delete(const std::string& name) {
    return Ask<void>([&](auto reply) { impl_->Delete(nullptr, name, reply); });
  }

  std::vector<std::string> TakeLines() {
    std::lock_guard<std::mutex> guard(linesMutex_);
    return std::exchange(lines_, {});
  }

  // What the caller and the log were told: the failure's kind, "id: text" per message (the id
  // without its service prefix), then the lines logged since the last call.
  template <class T>
  std::vector<std::string> Said(const Answer<T>& answer) {
    std::vector<std::string> said{Kind(answer)};
    for (size_t i = 0; answer.error && i < answer.error->messages.size(); ++i) {
      const std::string& id = answer.error->messages[i].id;
      said.push_back(id.substr(id.rfind('.') + 1) + ": " + answer.Text(i));
    }
    for (auto& line : TakeLines()) said.push_back(line);
    return said;
  }

  NoxConfigStore::Testing::TemporaryHostRoot root_;
  std::shared_ptr<const Orbi::L10n::Localizer> localizer_ = CreateLocalizer();
  std::shared_ptr<ClientProfileAccess> profiles_;
  std::shared_ptr<ClientProfileImpl> impl_;
  std::mutex linesMutex_;
  std::vector<std::string> lines_;
  std::shared_ptr<Logger> savedLogger_;
};

TEST_F(ClientProfileImplTest, CreateChoosesTheSubjectAndCollectsWhatIsMissing) {
  const std::string invalid = "invalid_argument";
  const std::pair<CreateSpec, std::vector<std::string>> cases[] = {
      {{"a#b", "ops", "u", "idp", "corp", {}},
       {"", "5 Successfully created client profile: LU###a\\#b"}},
      {{{}, "ops", "u", "idp", "corp", {}},
       {"", "5 Successfully created client profile: SG#idp#corp#ops"}},
      {{{}, {}, "u", "idp", "corp", {}},
       {"", "5 Successfully created client profile: SU#idp#corp#u"}},
      {{{}, {}, {}, "idp", "corp", {}},
       {invalid, "unknown_subject_type: Unknown subject type",
        "3 Cannot create client profile, the subject type is invalid"}},
      {{{}, {}, "v", {}, {}, {}},
       {invalid, "invalid_createspec: issuer_alias not set", "invalid_createspec: domain not set",
        "3 Invalid external user specification - issuer alias missing!",
        "3 Invalid external user specification - domain missing!"}},
      {{{}, "g", {}, "idp", {}, {}},
       {invalid, "invalid_createspec: domain not set",
        "3 Invalid external group specification - domain missing!"}},
      {{{}, {}, "u", "idp", "corp", {}},
       {"already_exists", "3 Cannot create client profile, already exists: SU#idp#corp#u"}},
  };
  for (const auto& [spec, said] : cases) EXPECT_EQ(Said(Create(spec)), said);
  // The local user won over the group and the user named beside it; alias and domain were dropped.
  auto local = Get("LU###a\\#b");
  ASSERT_TRUE(local.value);
  EXPECT_FALSE(local.value->subject->issuerAlias || local.value->subject->domain);
}

TEST_F(ClientProfileImplTest, ListRefusesEveryBadFilterAndProjectionWithItsMessagesInOrder) {
  const std::string kind = "invalid_argument", list = "3 ClientProfileImpl::List(): ";
  const std::string multiple = list + "error, multiple subjects set in filter specification";
  const std::string invalid = list + "Invalid filter specification";
  const std::string filterspec =
      "invalid_filterspec: Invalid filter specification for method 'List'";
  const std::string incomplete =
      "incomplete_filterspec: Incomplete filter specification for method 'List', missing ";
  const std::tuple<std::optional<FilterSpec>, std::optional<Projection>, std::vector<std::string>>
      cases[] = {
          {std::nullopt,
           Projection::FromString("ALL"),
           {kind, "invalid_projection: Invalid projection specification for method 'List'",
            list + "Invalid projection specification"}},
          {FilterSpec{}, std::nullopt, {kind, filterspec, multiple, invalid}},
          {FilterSpec{"a", {}, "u", "idp", "corp"},
           std::nullopt,
           {kind, filterspec, multiple, invalid}},
          {FilterSpec{"a", {}, {}, {}, "corp"},
           std::nullopt,
           {kind,
            "multiple_filter_subjects: Invalid filter specification for method 'List' - multiple "
            "subjects specified",
            filterspec,
            list + "error, issuer alias and/or domain set in filter specification for a local "
                   "user subject",
            invalid}},
          {FilterSpec{{}, "ops", {}, {}, {}},
           Projection::FULL,
           {kind, incomplete + "issuer_alias", incomplete + "domain", filterspec,
            list + "error - missing issuer alias; missing domain; subject is: external group: ops",
            invalid}},
          {FilterSpec{{}, {}, "u", "idp", {}},
           std::nullopt,
           {kind, incomplete + "domain", filterspec,
            list + "error - missing domain; subject is: external user: u", invalid}},
      };
  for (const auto& [filter, projection, said] : cases) {
    EXPECT_EQ(Said(List(filter, projection)), said);
  }
}

TEST_F(ClientProfileImplTest, ListMatchesEveryPartOfTheSubjectAndFillsByProjection) {
  for (CreateSpec spec : {CreateSpec{{}, "ops", {}, "idp", "corp", {Grant(Entitlement::OPERATOR)}},
                          CreateSpec{{}, "ops", {}, "idp", "other", {}},
                          CreateSpec{{}, {}, "ops", "idp", "corp", {}}}) {
    ASSERT_TRUE(Create(spec).value);
  }
  auto group = List(FilterSpec{{}, "ops", {}, "idp", "corp"}, Projection::FULL);
  ASSERT_EQ(group.value->size(), 1u);
  EXPECT_EQ(group.value->front().profile, "SG#idp#corp#ops");
  EXPECT_EQ(Names(*group.value->front().grants), std::vector<std::string>{"OPERATOR"});
  auto root = List(FilterSpec{"root", {}, {}, {}, {}});
  ASSERT_EQ(root.value->size(), 1u);
  EXPECT_EQ(root.value->front().projection, Projection::SUBJECT);
  EXPECT_FALSE(root.value->front().grants);
  auto names = List(std::nullopt, Projection::NAME);
  std::vector<std::string> listed;
  for (const auto& summary : *names.value) {
    EXPECT_FALSE(summary.subject || summary.grants);
    listed.push_back(summary.profile);
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"LU###root", "SG#idp#corp#ops", "SG#idp#other#ops",
                                              "SU#idp#corp#ops"}));
  EXPECT_TRUE(List(FilterSpec{{}, {}, "ops", "IDP", "corp"}).value->empty());
}

TEST_F(ClientProfileImplTest, ChangesToAMissingProfileAreNotFoundAndAFailedStoreChangesNothing) {
  const std::pair<std::vector<std::string>, const char*> missing[] = {
      {Said(Get("LU###nobody")), "get"},
      {Said(Set("LU###nobody", {})), "set"},
      {Said(Delete("LU###nobody")), "remove"}};
  for (const auto& [said, operation] : missing) {
    EXPECT_EQ(said,
              (std::vector<std::string>{"not_found", "not_found: Profile not found LU###nobody",
                                        "3 Failed to " + std::string(operation) +
                                            " client profile, profile not found: LU###nobody"}));
  }

  auto options = root_.StoreOptions();
  options.readOnly = true;
  Start(options);
  const std::pair<std::vector<std::string>, const char*> failed[] = {
      {Said(Set("LU###root", {Grant(Entitlement::READ_ONLY)})),
       "set client profile, serialization error: LU###root"},
      {Said(Create({"erin", {}, {}, {}, {}, {}})), "create client profile: LU###erin"},
      {Said(Delete("LU###root")), "remove client profile from the profile cache: LU###root"}};
  for (const auto& [said, line] : failed) {
    EXPECT_EQ(said, (std::vector<std::string>{"internal_server_error",
                                              "3 Failed to " + std::string(line)}));
  }
  EXPECT_EQ(Names(Get("LU###root").value->grants), std::vector<std::string>{"ADMINISTRATOR"});
  EXPECT_EQ(Kind(Get("LU###erin")), "not_found");
}

// Readers and writers at once: every answer is whole (a profile's grants are always one of the
// sets written), nothing deadlocks, and ThreadSanitizer sees no race.
TEST_F(ClientProfileImplTest, ConcurrentReadersAndWritersSeeWholeProfiles) {
  const GrantList variants[] = {{Grant(Entitlement::ADMINISTRATOR)},
                                {Grant(Entitlement::OPERATOR), Grant(Entitlement::READ_ONLY)}};
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < 2; ++writer) {
    threads.emplace_back([&, writer] {
      for (int i = 0; i < 40; ++i) {
        std::string user = "w" + std::to_string(writer) + "-" + std::to_string(i % 4);
        Create({user, {}, {}, {}, {}, variants[0]});
        torn += !Set("LU###" + user, variants[i % 2]).answered;
        torn += !Set("LU###root", variants[(i + writer) % 2]).answered;
        if (i % 3 == 2) torn += !Delete("LU###" + user).answered;
      }
    });
  }
  for (int reader = 0; reader < 2; ++reader) {
    threads.emplace_back([&] {
      for (int i = 0; i < 80; ++i) {
        auto listed = List(std::nullopt, Projection::FULL);
        torn += !listed.value || !Get("LU###root").value;
        for (const auto& summary : listed.value ? *listed.value : std::vector<Summary>{}) {
          auto names = Names(*summary.grants);
          torn += names != Names(variants[0]) && names != Names(variants[1]);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0);
  // What memory holds is what the store holds.
  auto inMemory = List(std::nullopt, Projection::NAME).value->size();
  Start(root_.StoreOptions());
  EXPECT_EQ(List(std::nullopt, Projection::NAME).value->size(), inMemory);
}

constexpr const char* kKey = "0123456789abcdef0123456789abcdef";
constexpr int64_t kNowMicros = 1'700'000'000'999'999;  // the fraction must never round up

namespace AuthnData = ::Nox::Authn::AuthnData;

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

Answer<TokenSvc::TokenInfo> CreateToken(TokenImpl& impl, Orbi::Core::ExecutionContextPtr context) {
  Answer<TokenSvc::TokenInfo> outcome(CreateLocalizer());
  impl.Create(context, outcome.Reply());
  return outcome;
}

TEST(TokenImplTest, ClaimsAreNameAndWholeSecondExpiryAndEveryFailureIsAnErrorValue) {
  TokenImpl impl(
      nullptr, [] { return std::string(kKey); }, [] { return kNowMicros; });
  auto outcome = CreateToken(impl, Caller(Identity("alice").Build()));
  ASSERT_TRUE(outcome.value);
  // Keys sorted by libjwt; exp is the whole second of issue plus 300.
  EXPECT_EQ(Claims(outcome.value->token), R"({"exp":1700000300,"username":"alice"})");

  for (auto context : {Caller(nullptr), Caller(Orbi::Data::StringValue::Create("x")),
                       Caller(Orbi::Data::StructValue::GetInstance("Empty"))}) {
    EXPECT_EQ(CreateToken(impl, context).error->kind, Orbi::Std::ErrorKind::kUnauthenticated);
  }
  TokenImpl missing(nullptr, []() -> std::string { throw Basalt::Exception("no such file"); });
  auto failed = CreateToken(missing, Caller(Identity("a").Build()));
  EXPECT_EQ(failed.error->kind, Orbi::Std::ErrorKind::kInternalServerError);
  EXPECT_NE(failed.Text(0).find("no such file"), std::string::npos);
  TokenImpl empty(nullptr, [] { return std::string(); });
  EXPECT_TRUE(CreateToken(empty, Caller(Identity("a").Build())).error);
}

using EntitlementsTest = ClientProfileImplTest;

TEST_F(EntitlementsTest, ExternalCallersGetTheUnionOfUserAndGroupProfilesOnce) {
  for (CreateSpec spec : {CreateSpec{{}, "g1", {}, "idp", "corp", {Grant(Entitlement::OPERATOR)}},
                          CreateSpec{{},
                                     "g2",
                                     {},
                                     "idp",
                                     "corp",
                                     {Grant(Entitlement::OPERATOR), Grant(Entitlement::READ_ONLY)}},
                          CreateSpec{{}, {}, "root", "idp", "corp", {Grant(Entitlement::OPERATOR)}},
                          // A local profile of the same name never applies to an external caller.
                          CreateSpec{"bob", {}, {}, {}, {}, {Grant(Entitlement::ADMINISTRATOR)}}}) {
    ASSERT_TRUE(Create(spec).value);
  }
  TokenImpl impl(
      NoxToken::MakeEntitlementsFn(profiles_), [] { return std::string(kKey); },
      [] { return kNowMicros; });
  auto claims = [&](const AuthnData::Builder& identity) {
    return Claims(CreateToken(impl, Caller(identity.Build())).value->token);
  };
  EXPECT_NE(claims(Identity("root").IssuerAlias("idp").Domain("corp").Groups(
                       {{"g1", "corp"}, {"g2", "corp"}, {"G1", "corp"}}))
                .find(R"("entitlement":["OPERATOR","READ_ONLY"])"),
            std::string::npos);
  EXPECT_NE(claims(Identity("bob").IssuerAlias("idp")).find(R"("entitlement":[])"),
            std::string::npos);
}

struct Verified : Answer<std::string> {
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
