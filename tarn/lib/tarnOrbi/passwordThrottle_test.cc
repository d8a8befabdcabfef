#include "tarnOrbi/passwordThrottle.h"

#include <gtest/gtest.h>

#include <vector>

namespace TarnOrbi::Authn {
namespace {

using Outcome = PasswordThrottle::Outcome;
using std::chrono::seconds;

struct ThrottleHarness {
  std::chrono::steady_clock::time_point now{};
  std::vector<std::string> lines;
  PasswordThrottle throttle;

  explicit ThrottleHarness(PasswordThrottle::Limits limits = {})
      : throttle(
            Basalt::Service::Logger::CreateRoot("PasswordThrottle", 7,
                                                [this](const Basalt::Service::LogRecord& record) {
                                                  lines.emplace_back(record.text);
                                                }),
            limits, [this] { return now; }) {}

  // Admits and settles one attempt; the wait it was refused with, or 0 when it was checked.
  int64_t Try(const char* user, PasswordThrottle::CallerUid caller, Outcome outcome) {
    if (auto wait = throttle.Admit(user, caller)) return wait->count();
    throttle.Settle(user, caller, outcome);
    return 0;
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
  ThrottleHarness harness;
  for (const auto& step : steps) {
    harness.now = std::chrono::steady_clock::time_point{} + seconds(step.at);
    EXPECT_EQ(harness.Try(step.user, step.caller, step.outcome), step.refusedFor)
        << step.user << " at " << step.at;
  }
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
  };
  EXPECT_EQ(harness.lines, expected);
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

TEST(PasswordThrottleTest, AttemptsInFlightCountAndAFullTableEvictsFewestFailuresFirst) {
  ThrottleHarness harness({.maxEntries = 3});
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(harness.throttle.Admit("alice", 7)) << i;
  EXPECT_EQ(harness.throttle.Admit("alice", 7), seconds(1));
  for (int i = 0; i < 5; ++i) harness.throttle.Settle("alice", 7, Outcome::kRefused);
  for (const char* user : {"bob", "carol", "dave", "erin"}) harness.Try(user, 7, Outcome::kRefused);
  EXPECT_EQ(harness.throttle.Size(), 3U);
  EXPECT_EQ(harness.throttle.Admit("alice", 7), seconds(1));
  // Past the free failures, one check at a time.
  harness.now += seconds(1);
  EXPECT_FALSE(harness.throttle.Admit("alice", 7));
  EXPECT_EQ(harness.throttle.Admit("alice", 7), seconds(2));
}

}  // namespace
}  // namespace TarnOrbi::Authn
