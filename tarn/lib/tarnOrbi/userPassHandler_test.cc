#include "tarnOrbi/userPassHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tarnOrbi/passwordThrottle.h"

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

using Outcome = PasswordThrottle::Outcome;
using std::chrono::seconds;

struct ThrottleHarness {
  static constexpr int64_t kWaiting = -1;
  static constexpr int64_t kAdmitted = 0;

  std::chrono::steady_clock::time_point now{};
  std::vector<std::string> lines;
  PasswordThrottle throttle;
  std::vector<int64_t> verdicts;  // per attempt asked: kWaiting, kAdmitted or seconds to wait
  std::vector<size_t> admitted;   // attempts in the order they were admitted
  size_t asking = SIZE_MAX;       // the attempt whose Admit runs

  explicit ThrottleHarness(PasswordThrottle::Limits limits = {})
      : throttle(
            Basalt::Service::Logger::CreateRoot("PasswordThrottle", 7,
                                                [this](const Basalt::Service::LogRecord& record) {
                                                  lines.emplace_back(record.text);
                                                }),
            limits, [this] { return now; }) {}

  // Asks for a place; the attempt's verdict as it stands when Admit returns.
  int64_t Ask(const char* user, PasswordThrottle::CallerUid caller) {
    const size_t attempt = verdicts.size();
    verdicts.push_back(kWaiting);
    asking = attempt;
    throttle.Admit(user, caller, [this, attempt](PasswordThrottle::Verdict verdict, bool waited) {
      EXPECT_EQ(waited, attempt != asking) << attempt;
      verdicts[attempt] = verdict ? verdict->count() : kAdmitted;
      if (!verdict) admitted.push_back(attempt);
    });
    asking = SIZE_MAX;
    return verdicts[attempt];
  }

  // Admits and settles one attempt; the wait it was refused with, or 0 when it was checked.
  int64_t Try(const char* user, PasswordThrottle::CallerUid caller, Outcome outcome) {
    const int64_t verdict = Ask(user, caller);
    if (verdict == kAdmitted) throttle.Settle(user, caller, outcome);
    return verdict;
  }

  // The verdicts of attempts [from, end) as letters: A admitted, W waiting, else the seconds.
  std::string Letters(size_t from = 0) const {
    std::string letters;
    for (size_t i = from; i < verdicts.size(); ++i) {
      letters += verdicts[i] == kWaiting    ? 'W'
                 : verdicts[i] == kAdmitted ? 'A'
                                            : static_cast<char>('0' + verdicts[i]);
    }
    return letters;
  }
};

TEST(PasswordThrottleTest, CountsPerUserAndCallerAndDoublesTheWait) {
  struct Step {
    int64_t at;  // seconds since the start
    const char* user;
    PasswordThrottle::CallerUid caller;
    Outcome outcome;
    int64_t refusedFor;
  };
  constexpr auto kWrong = Outcome::kRefused;
  constexpr auto kRight = Outcome::kAccepted;
  const Step steps[] = {
      {0, "alice", 1000, kWrong, 0},
      {0, "alice", 1000, kWrong, 0},
      {0, "alice", 1000, kWrong, 0},
      {0, "alice", 1000, kWrong, 0},
      {0, "alice", 1000, kWrong, 0},
      {0, "alice", 1000, kRight, 1},
      {0, "alice", 1001, kRight, 0},
      {0, "root", 1000, kRight, 0},
      {0, "alice", std::nullopt, kRight, 0},
      {1, "alice", 1000, kWrong, 0},
      {2, "alice", 1000, kRight, 1},
      {3, "alice", 1000, kWrong, 0},
      {3, "alice", 1000, kWrong, 4},
      {7, "alice", 1000, kRight, 0},  // a success forgets the count
      {7, "alice", 1000, kWrong, 0},
      {7, "alice", 1000, Outcome::kNotChecked, 0},
  };
  constexpr auto kUnknown = Outcome::kRefusedUnknownName;
  ThrottleHarness harness;
  for (const auto& step : steps) {
    harness.now = std::chrono::steady_clock::time_point{} + seconds(step.at);
    EXPECT_EQ(harness.Try(step.user, step.caller, step.outcome), step.refusedFor)
        << step.user << " at " << step.at;
  }
  // A name no host user has counts the same, but its line leaves the name out.
  harness.now += seconds(20);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(harness.Try("hunter2", 1000, kUnknown), 0);
  EXPECT_EQ(harness.Try("hunter2", 1000, kRight), 1);
  // One line per wait, with user, caller and period; one for the caller that could not be told.
  const std::vector<std::string> expected = {
      "Password attempts for user alice from caller uid 1000 refused for 1 s after 5 "
      "consecutive failures",
      "The calling host user of a password check cannot be found; failures are counted by user "
      "name alone",
      "Password attempts for user alice from caller uid 1000 refused for 2 s after 6 "
      "consecutive failures",
      "Password attempts for user alice from caller uid 1000 refused for 4 s after 7 "
      "consecutive failures",
      "Password attempts for names of no host user from caller uid 1000 refused for 1 s after 5 "
      "failures on such names",
  };
  EXPECT_EQ(harness.lines, expected);
  // What the checks found of each name, for the attempts refused without one.
  EXPECT_EQ(harness.throttle.HostUser("alice", 1000), true);
  EXPECT_EQ(harness.throttle.HostUser("hunter2", 1000), false);
  EXPECT_EQ(harness.throttle.HostUser("hunter2", 1001), std::nullopt);
}

// A caller that makes up a new name for every attempt: its names of no host user count together.
TEST(PasswordThrottleTest, NamesOfNoHostUserCountTogetherPerCaller) {
  ThrottleHarness harness;
  const std::string names[] = {"n0", "n1", "n2", "n3", "n4", "n5", "n6", "n7"};
  EXPECT_EQ(harness.Try("alice", 7, Outcome::kAccepted), 0);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(harness.Try(names[i].c_str(), 7, Outcome::kRefusedUnknownName), 0) << i;
  }
  EXPECT_EQ(harness.Ask("n5", 7), 1);                           // a new name waits too
  EXPECT_EQ(harness.Ask("n5", 8), ThrottleHarness::kAdmitted);  // another caller does not
  harness.throttle.Settle("n5", 8, Outcome::kRefusedUnknownName);
  harness.now += seconds(1);
  // Between waits one check at a time, and the next failure doubles the wait.
  EXPECT_EQ(harness.Ask("n6", 7), ThrottleHarness::kAdmitted);
  EXPECT_EQ(harness.Ask("n7", 7), 2);
  harness.throttle.Settle("n6", 7, Outcome::kRefusedUnknownName);
  EXPECT_EQ(harness.Ask("n7", 7), 2);
  // A name a check found to be a host user's is not held back with them.
  EXPECT_EQ(harness.Try("alice", 7, Outcome::kRefused), 0);
  EXPECT_EQ(harness.Try("alice", 7, Outcome::kAccepted), 0);
  // A quiet fifteen minutes forgets the count.
  harness.now += seconds(15 * 60);
  EXPECT_EQ(harness.Try("n7", 7, Outcome::kRefusedUnknownName), 0);
  EXPECT_EQ(harness.Ask("n0", 7), ThrottleHarness::kAdmitted);
  EXPECT_EQ(harness.lines.size(), 2U);
}

// A flood of new names from one caller: its checks in flight count against the free failures of
// its names of no host user, so at most five run at once and the rest wait (eight here, beyond
// refused) until the fifth failure answers them with its wait. A host user's name goes on.
TEST(PasswordThrottleTest, AFloodOfNewNamesRunsNoMoreChecksThanTheFreeFailures) {
  ThrottleHarness harness({.maxWaiting = 8});
  EXPECT_EQ(harness.Try("root", 7, Outcome::kRefused), 0);
  std::vector<std::string> names;
  for (int i = 0; i < 18; ++i) names.push_back("n" + std::to_string(i));
  for (int i = 0; i < 16; ++i) harness.Ask(names[i].c_str(), 7);
  EXPECT_EQ(harness.Letters(1), "AAAAAWWWWWWWW111");
  EXPECT_EQ(harness.Try("root", 7, Outcome::kAccepted), 0);
  // A check that never ran frees its place for the oldest waiting attempt.
  harness.throttle.Settle("n0", 7, Outcome::kNotChecked);
  EXPECT_EQ(harness.Letters(1), "AAAAAAWWWWWWW111A");
  for (int i = 1; i < 6; ++i) harness.throttle.Settle(names[i], 7, Outcome::kRefusedUnknownName);
  EXPECT_EQ(harness.Letters(1), "AAAAAA1111111111A");
  EXPECT_EQ(harness.lines.size(), 1U);
  // After the wait, one at a time.
  harness.now += seconds(1);
  EXPECT_EQ(harness.Ask(names[16].c_str(), 7), ThrottleHarness::kAdmitted);
  EXPECT_EQ(harness.Ask(names[17].c_str(), 7), 2);
  EXPECT_EQ(harness.Try("root", 7, Outcome::kAccepted), 0);
}

TEST(PasswordThrottleTest, WaitsDoubleUpToFifteenMinutes) {
  ThrottleHarness harness;
  std::vector<int64_t> waits;
  for (int i = 0; i < 5 + 2 * 12; ++i) {  // five free, then a refusal and a check each
    if (int64_t wait = harness.Try("alice", 7, Outcome::kRefused); wait > 0) {
      waits.push_back(wait);
      harness.now += seconds(wait);
    }
  }
  EXPECT_EQ(waits, (std::vector<int64_t>{1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 900, 900}));
}

// Parallel attempts of one pair: those beyond the places wait, and each settlement (oldest check
// first, outcomes in turn, the last repeated) lets waiting ones in or answers them with the wait.
TEST(PasswordThrottleTest, ParallelAttemptsWaitForAPlaceAndNeverExceedTheCount) {
  struct Case {
    const char* name;
    size_t maxWaiting;
    const char* outcomes;  // R right, W wrong, N not checked
    const char* asked;     // the verdicts when all 12 have asked
    const char* settled;   // the verdicts when no check is left in flight
    size_t lines;
  };
  const Case cases[] = {
      {"right passwords are all checked", 64, "R", "AAAAAWWWWWWW", "AAAAAAAAAAAA", 0},
      {"unchecked ones free their place", 64, "N", "AAAAAWWWWWWW", "AAAAAAAAAAAA", 0},
      {"a success after four failures lets all in", 64, "WWWWR", "AAAAAWWWWWWW", "AAAAAAAAAAAA", 0},
      {"the fifth failure answers the waiting", 64, "W", "AAAAAWWWWWWW", "AAAAA1111111", 1},
      {"beyond the queue refused at once", 4, "W", "AAAAAWWWW111", "AAAAA1111111", 1},
  };
  for (const auto& test : cases) {
    ThrottleHarness harness({.maxWaiting = test.maxWaiting});
    for (int i = 0; i < 12; ++i) harness.Ask("alice", 7);
    EXPECT_EQ(harness.Letters(), test.asked) << test.name;
    size_t settled = 0, mostInFlight = 0;
    const std::string outcomes = test.outcomes;
    while (settled < harness.admitted.size()) {
      mostInFlight = std::max(mostInFlight, harness.admitted.size() - settled);
      const char outcome = outcomes[std::min(settled, outcomes.size() - 1)];
      ++settled;
      harness.throttle.Settle("alice", 7,
                              outcome == 'R'   ? Outcome::kAccepted
                              : outcome == 'W' ? Outcome::kRefused
                                               : Outcome::kNotChecked);
    }
    EXPECT_EQ(harness.Letters(), test.settled) << test.name;
    EXPECT_EQ(mostInFlight, 5U) << test.name;
    EXPECT_EQ(harness.lines.size(), test.lines) << test.name;
  }
}

TEST(PasswordThrottleTest, AFullTableEvictsIdlePairsFewestFailuresFirst) {
  ThrottleHarness harness({.maxEntries = 3});
  for (int i = 0; i < 5; ++i) harness.Try("alice", 7, Outcome::kRefused);
  for (const char* user : {"bob", "carol", "dave", "erin"}) harness.Try(user, 7, Outcome::kRefused);
  EXPECT_EQ(harness.throttle.Size(), 3U);
  EXPECT_EQ(harness.Ask("alice", 7), 1);  // kept: the most failures
  // Pairs with a check in flight or waiting stay; the table grows instead.
  harness.now += seconds(1);
  for (const char* user : {"alice", "alice", "frank", "gina", "hank"}) harness.Ask(user, 7);
  EXPECT_EQ(harness.Letters(harness.verdicts.size() - 5), "AWAAA");
  EXPECT_EQ(harness.throttle.Size(), 4U);
  for (const char* user : {"frank", "gina", "hank"}) {
    harness.throttle.Settle(user, 7, Outcome::kAccepted);
  }
  harness.throttle.Settle("alice", 7, Outcome::kRefused);
  EXPECT_EQ(harness.Letters(harness.verdicts.size() - 5), "A2AAA");
  EXPECT_EQ(harness.throttle.Size(), 4U);  // accepted names stay known as host users
}

}  // namespace
}  // namespace TarnOrbi::Authn
