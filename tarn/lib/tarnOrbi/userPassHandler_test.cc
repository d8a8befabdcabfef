#include "tarnOrbi/userPassHandler.h"

#include <gtest/gtest.h>

namespace TarnOrbi::Authn {
namespace {

struct Harness {
  std::vector<std::pair<std::string, std::string>> asked;
  std::vector<std::chrono::microseconds> delays;
  std::vector<std::function<void()>> delayed;
  std::chrono::steady_clock::time_point now{};
  std::vector<std::function<void()>> offloaded;
  size_t offloadRoom = 0;
  std::vector<std::function<void()>> returned;

  UserPassHandler Make(UserPassHandler::Options options = {}) {
    options.delay = [this](std::chrono::microseconds delay, std::function<void()> work) {
      delays.push_back(delay);
      delayed.push_back(std::move(work));
    };
    options.clock = [this] { return now; };
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
        [](std::function<void()> work) { work(); }, std::move(options));
  }

  // A handler whose checks wait in `offloaded` and whose answers wait in `returned`.
  UserPassHandler MakeOffloading(std::shared_ptr<PasswordThrottle> throttle) {
    UserPassHandler::Options options;
    options.throttle = std::move(throttle);
    options.uncheckedPause = std::chrono::seconds(2);
    options.throttled = [](std::chrono::seconds wait) {
      return Orbi::Data::StringValue::Create("wait " + std::to_string(wait.count()));
    };
    options.offload = [this](std::function<void()> work) {
      if (offloaded.size() >= offloadRoom) return false;
      offloaded.push_back(std::move(work));
      return true;
    };
    options.returnTo = [this]() -> Orbi::Core::Enqueuer {
      return [this](std::function<void()> work) { returned.push_back(std::move(work)); };
    };
    return Make(std::move(options));
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

TEST(UserPassHandlerTest, ChecksOffThreadAnswersBackAndLetsTheThrottleRefuseAtOnce) {
  Harness harness;
  auto throttle = std::make_shared<PasswordThrottle>(
      Basalt::Service::Logger::CreateLogger("PasswordThrottle"), PasswordThrottle::Limits{},
      [&harness] { return harness.now; });
  auto handler = harness.MakeOffloading(throttle);
  auto context = std::make_shared<Orbi::Core::ExecutionContext>();
  context->securityCtx = {{"schemeId", kScheme}, {"userName", "root"}, {"password", "wrong"}};
  std::vector<std::string> answers;
  auto attempt = [&] {
    handler.AsyncAuthenticate(context, [&](Orbi::Data::ValuePtr value) {
      auto error = Orbi::Data::As<Orbi::Data::ErrorValue>(value);
      answers.push_back(error ? error->GetErrorKind() : value->ToString());
    });
  };
  auto runAll = [](std::vector<std::function<void()>>& work) {
    for (auto& item : std::exchange(work, {})) item();
  };

  // Five attempts at once are queued and none is answered on the calling thread; the sixth is
  // refused before any check ran, paced by the timer like a checked refusal.
  harness.offloadRoom = 5;
  for (int i = 0; i < 6; ++i) attempt();
  EXPECT_TRUE(harness.asked.empty());
  EXPECT_EQ(harness.delays, std::vector<std::chrono::microseconds>{std::chrono::seconds(2)});
  // Each refusal comes back after the timer, on the calling thread.
  runAll(harness.offloaded);
  EXPECT_EQ(harness.asked.size(), 5U);
  runAll(harness.delayed);
  EXPECT_TRUE(answers.empty());
  runAll(harness.returned);
  ASSERT_EQ(answers.size(), 6U);
  EXPECT_EQ(answers.front(), "\"wait 1\"");
  EXPECT_EQ(answers.back(), "unauthenticated");

  // Once the wait is over, a full queue refuses unchecked, and that does not count.
  harness.now += std::chrono::seconds(1);
  harness.offloadRoom = 0;
  attempt();
  EXPECT_TRUE(harness.asked.size() == 5U && harness.offloaded.empty());
  runAll(harness.delayed);
  runAll(harness.returned);
  EXPECT_EQ(answers.back(), "unauthenticated");
  harness.offloadRoom = 1;
  attempt();
  EXPECT_EQ(harness.offloaded.size(), 1U);
  EXPECT_EQ(answers.size(), 7U);
}

}  // namespace
}  // namespace TarnOrbi::Authn
