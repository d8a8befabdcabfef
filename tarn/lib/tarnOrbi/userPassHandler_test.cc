#include "tarnOrbi/userPassHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

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
          outcome.hostUser = user == "root";
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
    // What the check learned of the name is left for the records of the refusal.
    EXPECT_EQ(context->claimedUserExists, std::optional<bool>(std::string(user) == "root"));
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

struct OffloadingCase {
  Harness harness;
  std::shared_ptr<PasswordThrottle> throttle = std::make_shared<PasswordThrottle>(
      Basalt::Service::Logger::CreateLogger("PasswordThrottle"), PasswordThrottle::Limits{},
      [this] { return harness.now; });
  std::unique_ptr<UserPassHandler> handler =
      std::make_unique<UserPassHandler>(harness.MakeOffloading(throttle));
  std::map<std::string, size_t> answers;  // how often each answer came
  std::vector<Orbi::Core::ExecutionContextPtr> contexts;

  void Attempt(const char* password) {
    auto context = contexts.emplace_back(std::make_shared<Orbi::Core::ExecutionContext>());
    context->securityCtx = {{"schemeId", kScheme}, {"userName", "root"}, {"password", password}};
    handler->AsyncAuthenticate(context, [this](Orbi::Data::ValuePtr value) {
      auto error = Orbi::Data::As<Orbi::Data::ErrorValue>(value);
      ++answers[error ? error->GetErrorKind() : value->ToString()];
    });
  }

  // Runs queued checks one at a time, then timers, then answers, until nothing is left; the most
  // checks that were queued at once.
  size_t RunAll() {
    size_t mostQueued = 0;
    for (int round = 0; round < 1000; ++round) {
      mostQueued = std::max(mostQueued, harness.offloaded.size());
      if (!harness.offloaded.empty()) {
        auto check = std::move(harness.offloaded.front());
        harness.offloaded.erase(harness.offloaded.begin());
        check();
      } else if (!harness.delayed.empty()) {
        for (auto& work : std::exchange(harness.delayed, {})) work();
      } else if (!harness.returned.empty()) {
        for (auto& work : std::exchange(harness.returned, {})) work();
      } else {
        break;
      }
    }
    return mostQueued;
  }
};

// Twelve attempts at once from one caller: five are checked, the others wait in the throttle
// (holding nothing but their call) and start on the request's thread as checks settle. Wrong
// passwords start the wait after five failures, and the waiting attempts get the throttled
// answer, after the pause like any refusal. Once the handler is gone, a waiting attempt is
// refused unchecked when its turn comes.
TEST(UserPassHandlerTest, ParallelAttemptsWaitInTheThrottleForAPlace) {
  struct Case {
    const char* password;
    bool handlerGone;
    size_t checked;
    std::map<std::string, size_t> answers;
  };
  const std::string token = R"({"username":"root"})";
  const Case cases[] = {
      {"right", false, 12, {{token, 12}}},
      {"wrong", false, 5, {{"unauthenticated", 5}, {"\"wait 1\"", 7}}},
      {"right", true, 5, {{token, 5}, {"unauthenticated", 7}}},
  };
  for (const auto& test : cases) {
    OffloadingCase run;
    run.harness.offloadRoom = 64;
    for (int i = 0; i < 12; ++i) run.Attempt(test.password);
    EXPECT_EQ(run.harness.offloaded.size(), 5U) << test.password;
    EXPECT_TRUE(run.harness.delays.empty() && run.answers.empty()) << test.password;
    if (test.handlerGone) run.handler.reset();
    EXPECT_EQ(run.RunAll(), 5U) << test.password;
    EXPECT_EQ(run.harness.asked.size(), test.checked) << test.password;
    EXPECT_EQ(run.answers, test.answers) << test.password;
    if (!test.handlerGone && std::string(test.password) == "wrong") {
      // Those refused unchecked are recorded as the checks found the name: a host user.
      for (const auto& context : run.contexts) EXPECT_EQ(context->claimedUserExists, true);
    }
  }
}

TEST(UserPassHandlerTest, AFullCheckQueueRefusesUncheckedWithoutCounting) {
  OffloadingCase run;
  for (int i = 0; i < 6; ++i) run.Attempt("wrong");
  run.RunAll();
  EXPECT_TRUE(run.harness.asked.empty());
  EXPECT_EQ(run.harness.delays, std::vector<std::chrono::microseconds>(6, std::chrono::seconds(2)));
  EXPECT_EQ(run.answers, (std::map<std::string, size_t>{{"unauthenticated", 6}}));
  EXPECT_EQ(run.contexts.back()->claimedUserExists, std::nullopt);  // no check saw the name
  run.harness.offloadRoom = 1;
  run.Attempt("wrong");
  EXPECT_EQ(run.harness.offloaded.size(), 1U);
}

}  // namespace
}  // namespace TarnOrbi::Authn
