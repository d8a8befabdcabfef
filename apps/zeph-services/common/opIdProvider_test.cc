#include "apps/zeph-services/common/opIdProvider.h"

#include <gtest/gtest.h>

#include "platform/orbi/localProvider.h"

namespace Zeph::Common::BasaltOrbi {
namespace {

// Which lines each level writes and the ids they carry are checked against the daemon; here the
// progress line, the one answer, and the id's own rule.
TEST(ResultLoggerTest, LogsProgressAndLetsOneAnswerThrough) {
  std::vector<std::string> lines;
  auto logger = Basalt::Service::Logger::CreateRoot(
      "OrbiHandler", 6, [&](const auto& r) { lines.push_back(std::string(r.text)); });
  int answers = 0;
  ResultLogger log([&](auto result, auto, auto) { answers += result ? 1 : 0; }, "a.b.create",
                   logger);
  log(std::nullopt, Orbi::Core::Progress{1, 2, 3}, nullptr);
  for (int i = 0; i < 2; ++i) {
    log(Orbi::Core::MethodResult::Output(Orbi::Data::StringValue::Create("u")), std::nullopt,
        nullptr);
  }
  EXPECT_EQ(answers, 1);
  EXPECT_EQ(lines, (std::vector<std::string>{"MethodResult: (null), Progress: {1, 2, 3}",
                                             "MethodResult: \"u\""}));
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
