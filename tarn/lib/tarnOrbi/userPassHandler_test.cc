#include "tarnOrbi/userPassHandler.h"

#include <gtest/gtest.h>

namespace TarnOrbi::Authn {
namespace {

struct Harness {
  std::vector<std::pair<std::string, std::string>> asked;
  std::vector<std::chrono::microseconds> delays;
  std::vector<std::function<void()>> delayed;
  std::chrono::steady_clock::time_point now{};

  UserPassHandler Make() {
    return UserPassHandler(
        [this](const std::string& user, const std::string& password) {
          asked.emplace_back(user, password);
          // The host spends longer on a known user: it checks the password's hash.
          if (user == "root") now += std::chrono::milliseconds(3);
          Basalt::System::AuthenticationOutcome outcome;
          if (password == "right") {
            outcome.token = std::make_shared<Basalt::System::AuthTokenHelper>(user);
          } else {
            outcome.failDelay = std::chrono::seconds(2);
          }
          return outcome;
        },
        Basalt::Service::Logger::CreateLogger("NoxTokenUserPassHandler"),
        [](std::function<void()> work) { work(); },
        [this](std::chrono::microseconds delay, std::function<void()> work) {
          delays.push_back(delay);
          delayed.push_back(std::move(work));
        },
        [this] { return now; });
  }
};

std::optional<Orbi::Data::ValuePtr> Authenticate(UserPassHandler& handler,
                                                 Orbi::Core::StringMap security) {
  auto context = std::make_shared<Orbi::Core::ExecutionContext>();
  context->securityCtx = std::move(security);
  std::optional<Orbi::Data::ValuePtr> answer;
  handler.AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) { answer = value; });
  return answer;
}

constexpr const char* kScheme = "com.tessel.orbi.std.security.user_pass";

TEST(UserPassHandlerTest, RefusalWaitsOnATimerUntilTheSameTimeForKnownAndUnknownUsers) {
  Harness harness;
  auto handler = harness.Make();
  std::vector<std::chrono::steady_clock::duration> answeredAfter;
  for (const char* user : {"root", "nobody"}) {
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    context->securityCtx = {{"schemeId", kScheme}, {"userName", user}, {"password", "wrong"}};
    const auto start = harness.now;
    std::optional<Orbi::Data::ValuePtr> answer;
    handler.AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) { answer = value; });
    EXPECT_FALSE(answer.has_value());
    ASSERT_FALSE(harness.delays.empty());
    answeredAfter.push_back(harness.now - start + harness.delays.back());
    harness.delayed.back()();
    auto error = Orbi::Data::As<Orbi::Data::ErrorValue>(answer.value());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->GetErrorKind(), "unauthenticated");
  }
  EXPECT_EQ(harness.delays[0], std::chrono::milliseconds(1997));
  EXPECT_EQ(answeredAfter[0], std::chrono::seconds(2));
  EXPECT_EQ(answeredAfter[1], std::chrono::seconds(2));
}

TEST(UserPassHandlerTest, AcceptsRightCredentialsAndLeavesOtherSchemesAndIncompleteOnes) {
  Harness harness;
  auto handler = harness.Make();
  auto accepted =
      Authenticate(handler, {{"schemeId", kScheme}, {"userName", "root"}, {"password", "right"}});
  EXPECT_EQ(Orbi::Data::As<Orbi::Data::StructValue>(*accepted)->GetName(), "BasaltUserPass");
  EXPECT_EQ((*accepted)->ToString(), R"({"username":"root"})");
  harness.asked.clear();
  EXPECT_EQ(Authenticate(handler, {{"schemeId", kScheme}, {"userName", "root"}}).value(), nullptr);
  EXPECT_EQ(Authenticate(handler, {{"schemeId", "com.tessel.orbi.std.security.oauth"},
                                   {"userName", "root"},
                                   {"password", "right"}})
                .value(),
            nullptr);
  EXPECT_TRUE(harness.asked.empty());
}

}  // namespace
}  // namespace TarnOrbi::Authn
