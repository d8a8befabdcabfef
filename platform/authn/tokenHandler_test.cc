#include "platform/authn/tokenHandler.h"

#include <gtest/gtest.h>
#include <jwt.h>

#include "platform/basalt/exception.h"

namespace Nox::Authn {
namespace {

constexpr const char* kKey = "0123456789abcdef0123456789abcdef";
constexpr int64_t kNow = 1'700'000'000;

class NullLogger : public Orbi::Core::Logger {
 public:
  bool IsEnabled(int) const override { return true; }
  void Log(int, const std::string& text) const override { lines.push_back(text); }
  mutable std::vector<std::string> lines;
};

std::string Sign(const std::string& claims) {
  jwt_t* token = nullptr;
  jwt_new(&token);
  jwt_add_grants_json(token, claims.c_str());
  jwt_set_alg(token, JWT_ALG_HS256, reinterpret_cast<const unsigned char*>(kKey), 32);
  char* text = jwt_encode_str(token);
  std::string out(text);
  free(text);
  jwt_free(token);
  return out;
}

Orbi::Data::ValuePtr Authenticate(TokenHandler& handler, Orbi::Core::StringMap security) {
  auto context = std::make_shared<Orbi::Core::ExecutionContext>();
  context->securityCtx = std::move(security);
  Orbi::Data::ValuePtr answer = Orbi::Data::VoidValue::Get();
  handler.AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) { answer = value; });
  EXPECT_NE(answer, Orbi::Data::VoidValue::Get()) << "the handler did not answer";
  return answer;
}

Orbi::Core::StringMap OAuth(const std::string& token) {
  return {{"schemeId", "com.tessel.orbi.std.security.oauth"}, {"accessToken", token}};
}

TEST(TokenHandlerTest, AcceptsOwnTokensWithTheirEntitlements) {
  TokenHandler handler(
      std::make_shared<NullLogger>(), [] { return std::string(kKey); }, [] { return kNow; });
  std::string token =
      Sign(R"({"username":"root","exp":1700000300,"entitlement":["ADMINISTRATOR"]})");
  auto result = Orbi::Data::As<Orbi::Data::StructValue>(Authenticate(handler, OAuth(token)));
  ASSERT_TRUE(result);
  EXPECT_EQ(*result->GetString("username"), "root");
  EXPECT_EQ(*result->GetString("accessToken"), token);
  EXPECT_FALSE(result->HasField("issuerAlias"));
  EXPECT_EQ(result->GetField(TokenHandler::ENTITLEMENTS_GRANTS)->ToString(),
            R"(["ADMINISTRATOR"])");

  auto noClaim = Orbi::Data::As<Orbi::Data::StructValue>(
      Authenticate(handler, OAuth(Sign(R"({"username":"u","exp":1700000300})"))));
  EXPECT_EQ(noClaim->GetField(TokenHandler::ENTITLEMENTS_GRANTS)->ToString(), "[]");
}

TEST(TokenHandlerTest, RefusesBadTokensAndLeavesOtherSchemesAlone) {
  auto logger = std::make_shared<NullLogger>();
  TokenHandler handler(
      logger, [] { return std::string(kKey); }, [] { return kNow; });
  std::string good = Sign(R"({"username":"root","exp":1700000300})");
  std::string tampered = good;
  tampered[tampered.size() - 2] = tampered[tampered.size() - 2] == 'A' ? 'B' : 'A';
  for (const std::string& bad :
       {Sign(R"({"username":"root","exp":1700000000})"), tampered,
        std::string("eyJhbGciOiJub25lIn0.eyJ1c2VybmFtZSI6InJvb3QiLCJleHAiOjE3MDAwMDAzMDB9."),
        std::string("garbage")}) {
    auto answer = Orbi::Data::As<Orbi::Data::ErrorValue>(Authenticate(handler, OAuth(bad)));
    ASSERT_TRUE(answer) << bad;
    EXPECT_EQ(answer->GetErrorKind(), "unauthenticated");
  }
  EXPECT_EQ(logger->lines.size(), 4u);
  EXPECT_EQ(Authenticate(handler, {{"schemeId", "com.tessel.orbi.std.security.user_pass"},
                                   {"accessToken", good}}),
            nullptr);
  EXPECT_EQ(Authenticate(handler, {{"schemeId", "com.tessel.orbi.std.security.oauth"}}), nullptr);

  // The prepared key follows a changed secret: the old secret's tokens stop verifying.
  std::string secret = kKey;
  TokenHandler rotating(
      logger, [&] { return secret; }, [] { return kNow; });
  EXPECT_TRUE(Orbi::Data::As<Orbi::Data::StructValue>(Authenticate(rotating, OAuth(good))));
  secret = "another secret of thirty-two byt";
  EXPECT_TRUE(Orbi::Data::As<Orbi::Data::ErrorValue>(Authenticate(rotating, OAuth(good))));

  TokenHandler keyless(logger, []() -> std::string { throw Basalt::Exception("gone"); });
  EXPECT_TRUE(Orbi::Data::As<Orbi::Data::ErrorValue>(Authenticate(keyless, OAuth(good))));
}

}  // namespace
}  // namespace Nox::Authn
