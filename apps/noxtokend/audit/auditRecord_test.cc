#include "apps/noxtokend/audit/auditRecord.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "apps/noxtokend/audit/auditCall.h"
#include "apps/noxtokend/audit/auditProvider.h"
#include "apps/noxtokend/audit/auditTrail.h"
#include "platform/basalt/clientText.h"
#include "platform/basalt/crypto/base64.h"
#include "platform/bindings/clientProfilesSvc.h"
#include "platform/orbi/errors.h"

namespace NoxToken::Audit {
namespace {

// 2026-12-07T03:10:39.042Z
constexpr int64_t kTime = 1796613039042;

Record Base(Event event) {
  Record record;
  record.event = event;
  record.timeMs = kTime;
  record.opId = "create-x-0";
  return record;
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

struct Case {
  const char* name;
  Record record;
  const char* line;
};

std::vector<Case> Cases() {
  Record issued = Base(Event::kTokenIssued);
  issued.callerUid = 1000;
  issued.scheme = "external_jwt";
  issued.subject = Subject{"ann", "corp", "corp.example", {"ops@corp.example"}, {}};
  issued.entitlements = std::vector<std::string>{"ADMINISTRATOR"};
  issued.expires = 1796613339;
  issued.tokenSha256 = "0123456789abcdef";

  Record refused = Base(Event::kCredentialRefused);
  refused.scheme = "user_pass";
  refused.subject = Subject{"a\"b\n<c>", {}, {}, {}, true};
  refused.reason = "com.tessel.orbi.std.errors.unauthenticated";
  refused.heldBack = 3;

  Record changed = Base(Event::kProfileChanged);
  changed.scheme = "own_token";
  changed.subject = Subject{"root", {}, {}, {}, {}};
  changed.service = "com.tessel.nox.authentication.client_profiles";
  changed.operation = "set";
  changed.target = "LU###alice";
  changed.before = TargetState{{"HOST:READ_ONLY"}, {}, {}};
  changed.after = TargetState{{}, {}, {}};

  Record issuer = Base(Event::kIssuerDeleted);
  issuer.reason = "com.tessel.nox.x.not_found";
  issuer.target = "corp";
  issuer.before = TargetState{{}, "https://idp", {{"aa", "bb"}, {}}};

  return {
      {"issued with every token member", issued,
       R"({"time":"2026-12-07T03:10:39.042Z","event":"token.issued","op_id":"create-x-0",)"
       R"("caller_uid":1000,"scheme":"external_jwt","subject":{"user":"ann","issuer_alias":"corp",)"
       R"("domain":"corp.example","groups":["ops@corp.example"]},"outcome":"ok",)"
       R"("entitlements":["ADMINISTRATOR"],"expires":1796613339,"token_sha256":"0123456789abcdef"})"},
      {"refusal escapes a claimed name and counts what was held back", refused,
       R"({"time":"2026-12-07T03:10:39.042Z","event":"credential.refused","op_id":"create-x-0",)"
       R"("scheme":"user_pass","subject":{"user":"a\"b\n\u003cc\u003e","host_user":true},)"
       R"("outcome":"refused",)"
       R"("reason":"com.tessel.orbi.std.errors.unauthenticated","held_back":3})"},
      {"profile change with empty grants after", changed,
       R"({"time":"2026-12-07T03:10:39.042Z","event":"profile.changed","op_id":"create-x-0",)"
       R"("scheme":"own_token","subject":{"user":"root"},"outcome":"ok",)"
       R"("service":"com.tessel.nox.authentication.client_profiles","operation":"set",)"
       R"("target":"LU###alice","before":{"grants":["HOST:READ_ONLY"]},"after":{"grants":[]}})"},
      {"issuer state as name and chains of fingerprints", issuer,
       R"({"time":"2026-12-07T03:10:39.042Z","event":"issuer.deleted","op_id":"create-x-0",)"
       R"("outcome":"refused","reason":"com.tessel.nox.x.not_found","target":"corp",)"
       R"("before":{"issuer":"https://idp","chains":[["aa","bb"],[]]}})"},
  };
}

TEST(AuditRecordTest, FormatsOneJsonObjectPerLine) {
  for (const auto& c : Cases()) {
    EXPECT_EQ(FormatLine(c.record), std::string(c.line) + "\n") << c.name;
  }
}

TEST(AuditRecordTest, JournalFieldsNameTheEventAndEveryPresentMember) {
  const std::vector<std::string> fields = JournalFields(Cases()[0].record);
  EXPECT_EQ(fields.front(), std::string("MESSAGE_ID=") + EventMessageId(Event::kTokenIssued));
  for (const char* field :
       {"NOX_EVENT=token.issued", "NOX_CALLER_UID=1000", "NOX_SUBJECT_USER=ann",
        R"(NOX_ENTITLEMENTS=["ADMINISTRATOR"])", "NOX_OUTCOME=ok", "PRIORITY=6"}) {
    EXPECT_NE(std::find(fields.begin(), fields.end(), field), fields.end()) << field;
  }
  EXPECT_FALSE(std::any_of(fields.begin(), fields.end(),
                           [](const std::string& f) { return f.starts_with("NOX_REASON="); }));
}

// A claimed name or an operation id of megabytes keeps its first kQuoteLimit bytes, in the file
// and in the journal, and the structured members stay JSON.
TEST(AuditRecordTest, KeepsAtMostAQuoteOfEachClientText) {
  Record refused = Base(Event::kCredentialRefused);
  refused.opId = std::string(1'000'000, 'o');
  refused.subject = Subject{std::string(5'000'000, 'x'), {}, std::string(3'000'000, 'd'), {}, {}};
  const std::string user = std::string(Basalt::kQuoteLimit, 'x') + "\u2026(cut, 5000000 bytes)";

  const std::string line = FormatLine(refused);
  EXPECT_LT(line.size(), 4 * Basalt::kQuoteLimit);
  EXPECT_NE(line.find(R"("subject":{"user":")" + user + R"(","domain":")"), std::string::npos);
  EXPECT_NE(
      line.find(R"("op_id":")" + std::string(Basalt::kQuoteLimit, 'o') + "\u2026(cut, 1000000"),
      std::string::npos);

  const std::vector<std::string> fields = JournalFields(refused);
  EXPECT_NE(std::find(fields.begin(), fields.end(), "NOX_SUBJECT_USER=" + user), fields.end());
  for (const std::string& field : fields) EXPECT_LT(field.size(), 3 * Basalt::kQuoteLimit);
}

TEST(AuditRecordTest, EventKindsHaveDistinctNamesAndMessageIds) {
  std::set<std::string> names;
  std::set<std::string> ids;
  for (int i = 0; i <= static_cast<int>(Event::kIssuerDeleted); ++i) {
    auto event = static_cast<Event>(i);
    names.insert(EventName(event));
    std::string id = EventMessageId(event);
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    ids.insert(id);
  }
  EXPECT_EQ(names.size(), 9u);
  EXPECT_EQ(ids.size(), 9u);
}

TEST(AuditRecordTest, TokenDigestIsTheFirstSixteenHexDigitsOfSha256) {
  EXPECT_EQ(TokenDigest("abc"), "ba7816bf8f01cfea");
}

// Plain claims are read from the text, the rest by Jansson: either way what Jansson reads.
TEST(UncheckedClaimsTest, ReadsWhatJanssonReads) {
  using Strings = std::vector<std::string>;
  struct ClaimsCase {
    std::string payload;
    std::optional<std::string> user;
    std::optional<Strings> entitlements;
    std::optional<int64_t> expires;
  };
  const ClaimsCase cases[] = {
      {R"({"entitlement":["A","B"],"exp":5,"username":"ann"})", "ann", Strings{"A", "B"}, 5},
      {R"( { "x" : {"y":[1,{}]}, "entitlement" : [ ], "username" : "a\u006en" } )", "ann",
       Strings{}, std::nullopt},
      {R"({"username":"x","username":"ann","exp":1,"exp":2})", "ann", std::nullopt, 2},
      {R"({"username":5,"exp":"5","entitlement":["A",1,"B"]})", std::nullopt, Strings{"A", "B"},
       std::nullopt},
      {R"({"exp":1.5,"username":"ann"})", "ann", std::nullopt, std::nullopt},
      {R"({"username":"ann"} x)", std::nullopt, std::nullopt, std::nullopt},
      {R"(["ann"])", std::nullopt, std::nullopt, std::nullopt},
      {R"({"x":)" + std::string(20, '[') + std::string(20, ']') + R"(,"username":"ann"})", "ann",
       std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const TokenClaims claims = ReadUncheckedClaims(
        "h." + Basalt::Crypto::EncodeBase64(c.payload, Basalt::Crypto::Base64Alphabet::kUrl) +
        ".s");
    EXPECT_EQ(claims.user, c.user) << c.payload;
    EXPECT_EQ(claims.entitlements, c.entitlements) << c.payload;
    EXPECT_EQ(claims.expires, c.expires) << c.payload;
  }
  EXPECT_EQ(ReadUncheckedClaims("no-dots").user, std::nullopt);
}

TEST(AuditTrailTest, ARecordCutShortLeavesTheNextOnALineOfItsOwn) {
  Settings settings;
  settings.file = testing::TempDir() + "/audit-cut.log";
  std::remove(settings.file.c_str());
  Trail trail(settings, Basalt::Service::Logger::CreateLogger("Audit"), nullptr);
  ASSERT_TRUE(trail.Write(Base(Event::kTokenIssued)));
  // A file size limit (or a full disk) stops the next record ten bytes in.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limit = saved;
  limit.rlim_cur = std::filesystem::file_size(settings.file) + 10;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const bool cut = trail.Write(Base(Event::kProfileCreated));
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(cut);
  Record after = Base(Event::kProfileDeleted);
  ASSERT_TRUE(trail.Write(after));

  const auto lines = Lines(settings.file);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0] + "\n", FormatLine(Base(Event::kTokenIssued)));
  EXPECT_EQ(lines[1], FormatLine(Base(Event::kProfileCreated)).substr(0, 10));
  EXPECT_EQ(lines[2] + "\n", FormatLine(after));
}

using Orbi::Core::MethodResult;

// A profile service whose change is witnessed (or not), then stands or fails.
class ScriptedChange final : public Orbi::Core::AsyncApiProvider {
 public:
  ScriptedChange(std::shared_ptr<ChangeRecords> records, bool witnessed, bool stands)
      : records_(std::move(records)), witnessed_(witnessed), stands_(stands) {}
  std::string ToString() const override { return "ScriptedChange"; }
  void Invoke(const Orbi::Core::MethodIdentifier&, Orbi::Data::ValuePtr,
              Orbi::Core::ExecutionContextPtr context, Orbi::Core::AsyncApiResultCb cb) override {
    if (witnessed_) {
      EXPECT_TRUE(
          records_->Witness(*context, "LU###carol", TargetState{{"HOST:OPERATOR"}, {}, {}}).ok());
    }
    cb(stands_ ? MethodResult::Output(Orbi::Data::StringValue::Create("LU###carol"))
               : MethodResult::Failure(Orbi::Std::InternalServerError().ToErrorValue()),
       std::nullopt, nullptr);
  }

 private:
  std::shared_ptr<ChangeRecords> records_;
  bool witnessed_, stands_;
};

bool Has(const std::string& line, const std::string& part) {
  return line.find(part) != std::string::npos;
}

TEST(AuditProviderTest, AChangeIsRecordedOnceAndAFailedCommitAfterItsRecordIsRecordedToo) {
  struct Case {
    const char* what;
    bool witnessed, stands;
    std::vector<std::vector<std::string>> records;  // what each line holds
  };
  const std::string ok = R"("outcome":"ok")", refused = R"("outcome":"refused")";
  const std::string target = R"("target":"LU###carol")", after = R"("after":{"grants")";
  const Case cases[] = {
      {"recorded in its transaction", true, true, {{ok, target, after}}},
      {"its commit failed after the record", true, false, {{ok, after}, {refused, target}}},
      {"refused before its commit", false, false, {{refused}}},
      {"a service without a witness", false, true, {{ok, target}}},
  };
  for (const Case& c : cases) {
    Settings settings;
    settings.file = testing::TempDir() + "/audit-provider.log";
    std::remove(settings.file.c_str());
    auto trail =
        std::make_shared<Trail>(settings, Basalt::Service::Logger::CreateLogger("Audit"), nullptr);
    auto records = std::make_shared<ChangeRecords>(trail);
    auto provider = std::make_shared<AuditProvider>(
        std::make_shared<ScriptedChange>(records, c.witnessed, c.stands), trail,
        Orbi::Std::InternalServerError().ToErrorValue(), nullptr, nullptr, records);
    provider->Invoke({Com::Tessel::Nox::Authentication::ClientProfilesSvc::kServiceId, "create"},
                     nullptr, std::make_shared<Orbi::Core::ExecutionContext>(),
                     [](std::optional<MethodResult>, std::optional<Orbi::Core::Progress>,
                        Orbi::Core::Continuation) {});
    const auto lines = Lines(settings.file);
    ASSERT_EQ(lines.size(), c.records.size()) << c.what;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_TRUE(Has(lines[i], R"("event":"profile.created")")) << c.what << ": " << lines[i];
      for (const auto& part : c.records[i])
        EXPECT_TRUE(Has(lines[i], part)) << c.what << ": " << lines[i];
    }
  }
}

}  // namespace
}  // namespace NoxToken::Audit
