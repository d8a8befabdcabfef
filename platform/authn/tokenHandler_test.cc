#include "platform/authn/tokenHandler.h"

#include <gtest/gtest.h>
#include "platform/authn/testing/signedClaims.h"
#include "platform/basalt/exception.h"

namespace Nox::Authn {
namespace {

constexpr const char* kKey = "0123456789abcdef0123456789abcdef";
constexpr int64_t kNow = 1'700'000'000;

class RecordingLogger : public Orbi::Core::Logger {
 public:
  bool IsEnabled(int) const override { return true; }
  void Log(int, const std::string& text) const override { lines.push_back(text); }
  mutable std::vector<std::string> lines;
};

std::string Sign(const std::string& claims) { return Testing::SignClaims(claims, kKey); }

Orbi::Data::ValuePtr Authenticate(TokenHandler& handler, Orbi::Core::StringMap security) {
  auto context = std::make_shared<Orbi::Core::ExecutionContext>();
  context->securityCtx = std::move(security);
  Orbi::Data::ValuePtr answer = Orbi::Data::VoidValue::Get();
  handler.AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) { answer = value; });
  EXPECT_NE(answer, Orbi::Data::VoidValue::Get()) << "the handler did not answer";
  return answer;
}

std::shared_ptr<const Orbi::L10n::Localizer> Localizer() {
  return std::make_shared<const Orbi::L10n::Localizer>(
      std::vector<std::string>{"en_US"}, [](const std::string& id) { return "text of " + id; });
}

// The one message of a refusal: its id, and the text the localizer made of it.
std::string RefusalMessage(const Orbi::Data::ValuePtr& answer) {
  auto error = Orbi::Data::As<Orbi::Data::ErrorValue>(answer);
  if (!error) return "not an error";
  EXPECT_EQ(error->GetErrorKind(), "unauthenticated");
  auto messages = Orbi::Data::As<Orbi::Data::ListValue>(error->GetField("messages"));
  if (!messages || messages->GetItems().size() != 1) return "not one message";
  auto message = Orbi::Data::As<Orbi::Data::StructValue>(messages->GetItems()[0]);
  std::string id = *message->GetString("id");
  EXPECT_EQ(*message->GetString("localized"), "text of " + id);
  return id;
}

Orbi::Core::StringMap OAuth(const std::string& token) {
  return {{"schemeId", "com.tessel.orbi.std.security.oauth"}, {"accessToken", token}};
}

TEST(TokenHandlerTest, AcceptsOwnTokensWithTheirEntitlementsAndRefusesBadOnes) {
  auto logger = std::make_shared<RecordingLogger>();
  std::string secret = kKey;
  int64_t now = kNow;
  TokenHandler handler(
      logger, Localizer(), [&]() -> const std::string& { return secret; }, [&] { return now; });
  const std::string token =
      Sign(R"({"username":"root","exp":1700000300,"entitlement":["ADMINISTRATOR"]})");
  auto result = Orbi::Data::As<Orbi::Data::StructValue>(Authenticate(handler, OAuth(token)));
  ASSERT_TRUE(result);
  EXPECT_EQ(*result->GetString("username"), "root");
  EXPECT_EQ(*result->GetString("accessToken"), token);
  EXPECT_FALSE(result->HasField("issuerAlias"));
  EXPECT_EQ(result->GetField(TokenHandler::ENTITLEMENTS_GRANTS)->ToString(),
            R"(["ADMINISTRATOR"])");
  // Presented again, the token gives the very data built the first time.
  EXPECT_EQ(static_cast<const void*>(Authenticate(handler, OAuth(token)).get()), result.get());
  auto noClaim = Orbi::Data::As<Orbi::Data::StructValue>(
      Authenticate(handler, OAuth(Sign(R"({"username":"u","exp":1700000300})"))));
  EXPECT_EQ(noClaim->GetField(TokenHandler::ENTITLEMENTS_GRANTS)->ToString(), "[]");

  std::string tampered = token;
  tampered[tampered.size() - 2] = tampered[tampered.size() - 2] == 'A' ? 'B' : 'A';
  const std::string invalid = TokenHandler::kInvalidTokenMessage;
  for (const auto& [bad, message] : std::vector<std::pair<std::string, std::string>>{
           {Sign(R"({"username":"root","exp":1700000000})"), TokenHandler::kTokenExpiredMessage},
           {tampered, invalid},
           {"eyJhbGciOiJub25lIn0.eyJ1c2VybmFtZSI6InJvb3QiLCJleHAiOjE3MDAwMDAzMDB9.", invalid},
           {"garbage", invalid}}) {
    EXPECT_EQ(RefusalMessage(Authenticate(handler, OAuth(bad))), message) << bad;
  }
  EXPECT_EQ(logger->lines.size(), 4u);
  // Other schemes, and a bearer scheme without a token, are left to other handlers.
  EXPECT_EQ(Authenticate(handler, {{"schemeId", "com.tessel.orbi.std.security.user_pass"},
                                   {"accessToken", token}}),
            nullptr);
  EXPECT_EQ(Authenticate(handler, {{"schemeId", "com.tessel.orbi.std.security.oauth"}}), nullptr);

  // A token verified before is refused all the same once it expires.
  now = 1700000300;
  EXPECT_EQ(RefusalMessage(Authenticate(handler, OAuth(token))),
            TokenHandler::kTokenExpiredMessage);
  now = kNow;

  // The prepared key follows a changed secret: the old secret's tokens stop verifying.
  secret = "another secret of thirty-two byt";
  EXPECT_EQ(RefusalMessage(Authenticate(handler, OAuth(token))), invalid);
  TokenHandler keyless(logger, Localizer(),
                       []() -> const std::string& { throw Basalt::Exception("gone"); });
  EXPECT_EQ(RefusalMessage(Authenticate(keyless, OAuth(token))), invalid);
}

}  // namespace
}  // namespace Nox::Authn
