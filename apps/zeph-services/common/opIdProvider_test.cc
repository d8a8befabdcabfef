#include "apps/zeph-services/common/opIdProvider.h"

#include <gtest/gtest.h>

#include "platform/orbi/localProvider.h"

namespace Zeph::Common::BasaltOrbi {
namespace {

struct Line {
  int level;
  std::string opId;
  std::string text;
};

// Answers with a fixed result after logging one line of its own.
class Inner : public Orbi::Core::AsyncApiProvider {
 public:
  Inner(std::shared_ptr<Basalt::Service::Logger> logger, std::optional<Orbi::Core::MethodResult> r,
        bool progressFirst = false)
      : logger_(std::move(logger)), result_(std::move(r)), progressFirst_(progressFirst) {}
  std::string ToString() const override { return "Inner"; }
  void Invoke(const Orbi::Core::MethodIdentifier&, Orbi::Data::ValuePtr,
              Orbi::Core::ExecutionContextPtr, Orbi::Core::AsyncApiResultCb cb) override {
    logger_->Log(3, "inside");
    if (progressFirst_) cb(std::nullopt, Orbi::Core::Progress{1, 2, 3}, nullptr);
    cb(result_, std::nullopt, nullptr);
    cb(result_, std::nullopt, nullptr);  // a second answer must not get through
  }

 private:
  std::shared_ptr<Basalt::Service::Logger> logger_;
  std::optional<Orbi::Core::MethodResult> result_;
  bool progressFirst_;
};

class OpIdProviderTest : public ::testing::Test {
 protected:
  std::shared_ptr<Basalt::Service::Logger> Root(int level) {
    return Basalt::Service::Logger::CreateRoot(
        "OrbiHandler", level, [this](const Basalt::Service::LogRecord& r) {
          lines_.push_back({r.level, std::string(r.opId), std::string(r.text)});
        });
  }

  int Invoke(int level, Orbi::Core::StringMap appCtx, std::optional<Orbi::Core::MethodResult> r,
             bool progressFirst = false) {
    auto logger = Root(level);
    OpIdProvider provider(std::make_shared<Inner>(logger, std::move(r), progressFirst), logger);
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    context->appCtx = std::move(appCtx);
    int answers = 0;
    provider.Invoke({"com.tessel.nox.authentication.token", "create"},
                    Orbi::Data::StructValue::GetInstance(""), context,
                    [&](auto result, auto, auto) { answers += result ? 1 : 0; });
    EXPECT_EQ(Basalt::Service::GetLogContext("opID"), "");
    return answers;
  }

  std::vector<Line> lines_;
};

// Which lines each level writes and the ids they carry are checked against the daemon; here the
// progress line, the one answer, and the id's own rule.
TEST_F(OpIdProviderTest, OneAnswerGetsThroughAfterTheProgressLine) {
  EXPECT_EQ(Invoke(6, {{"opId", "p"}},
                   Orbi::Core::MethodResult::Output(Orbi::Data::VoidValue::Get()), true),
            1);
  ASSERT_GE(lines_.size(), 4u);
  EXPECT_EQ(lines_[3].text, "MethodResult: (null), Progress: {1, 2, 3}");
  EXPECT_EQ(lines_[3].opId, "p");
}

TEST(OpIdLogTextTest, SecretFieldsAreShortenedAtAnyDepth) {
  const std::string token(200, 't');
  auto info = Orbi::Data::StructValue::GetInstance("token_info");
  info->SetField("token", Orbi::Data::StringValue::Create(token));
  auto inner = Orbi::Data::StructValue::GetInstance("");
  inner->SetField("password", Orbi::Data::StringValue::Create("pw2"));
  inner->SetField("name", Orbi::Data::StringValue::Create("alice"));
  auto outer = Orbi::Data::StructValue::GetInstance("");
  outer->SetField("users", Orbi::Data::ListValue::Create({inner, info}));
  EXPECT_EQ(TextWithoutSecrets(outer),
            "{\"users\":[{\"password\":\"\u2026(secret, 3 bytes)\",\"name\":\"alice\"},"
            "{\"token\":\"tttttttt\u2026(secret, 200 bytes)\"}]}");
  auto plain = Orbi::Data::StringValue::Create(token);
  EXPECT_EQ(TextWithoutSecrets(plain), plain->ToString());
}

TEST(GenerateOperationIdTest, UsesTheLastSegmentOnlyWhenItHasTwoCharacters) {
  for (const std::string method : {"a.b.create", "a.b.c", "plain", "a.b."}) {
    const std::string id = GenerateOperationId(method);
    const std::string prefix = method == "a.b.create" ? "create-" : method + "-";
    EXPECT_TRUE(id.rfind(prefix, 0) == 0 && id.ends_with("-0")) << id;
  }
}

}  // namespace
}  // namespace Zeph::Common::BasaltOrbi
