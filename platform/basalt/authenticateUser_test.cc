#include "platform/basalt/authenticateUser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/basalt/testing/temporaryHostRoot.h"

namespace Basalt::System {
namespace {

using namespace std::string_literals;

constexpr char kUser[] = "alice";
constexpr char kPassword[] = "correct horse:battery";

// A host root laid out by scripts/dev-root with one user, shared by the suite because hashing the
// password file takes a moment.
class AuthenticateUserTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_.emplace();
    const std::string command = std::string("'") + NOX_SOURCE_DIR + "/scripts/dev-root' '" +
                                root_->Path().string() + "' --user '" + kUser + ":" + kPassword +
                                "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  static void TearDownTestSuite() { root_.reset(); }

  inline static std::optional<Testing::TemporaryHostRoot> root_;
};

// Refusals by PAM carry the modules' delay (pam_faildelay and pam_pwdfile ask for 2 s, randomised
// within +-50 %); input refused before PAM carries PAM's usual one. Whether the host has the user
// is told for every acceptable name; the dev root's own users are no host users, root is one.
TEST_F(AuthenticateUserTest, OnlyTheRightPasswordPassesAndBadInputNeverReachesPam) {
  enum Outcome { kAccepted, kRefusedByPam, kRefusedBeforePam };
  const std::string longest(kMaxAuthPasswordLength, 'x');
  const struct {
    std::string user, password;
    Outcome outcome;
    bool hostUser;
  } cases[] = {
      {kUser, kPassword, kAccepted, true},
      {kUser, "correct horse", kRefusedByPam, false},
      {kUser, "CORRECT HORSE:BATTERY", kRefusedByPam, false},
      {"bob", kPassword, kRefusedByPam, false},
      {"ALICE", kPassword, kRefusedByPam, false},
      {kUser, "", kRefusedByPam, false},
      {kUser, longest, kRefusedByPam, false},
      {"root", kPassword, kRefusedByPam, true},
      {kUser, kPassword + longest, kRefusedBeforePam, false},
      {"root", kPassword + longest, kRefusedBeforePam, true},
      {"root", kPassword + "\0tail"s, kRefusedBeforePam, true},
      {std::string(kMaxAuthUserNameLength + 1, 'a'), kPassword, kRefusedBeforePam, false},
      {kUser, kPassword + "\0tail"s, kRefusedBeforePam, false},
      {kUser + "\0"s, kPassword, kRefusedBeforePam, false},
      {"root\0"s, kPassword, kRefusedBeforePam, false},
      {"", kPassword, kRefusedBeforePam, false},
  };
  for (const auto& [user, password, outcome, hostUser] : cases) {
    SCOPED_TRACE(testing::Message() << "user '" << user.substr(0, 10) << "' of " << user.size()
                                    << " bytes, password of " << password.size() << " bytes");
    AuthenticationOutcome result = AuthenticateUserDeferringDelay(user, password);
    EXPECT_EQ(result.token != nullptr, outcome == kAccepted);
    if (result.token) {
      EXPECT_EQ(result.token->GetUserName(), kUser);
    }
    EXPECT_EQ(result.hostUser, hostUser);
    if (outcome == kRefusedByPam) {
      EXPECT_GE(result.failDelay, std::chrono::seconds(1));
      EXPECT_LE(result.failDelay, std::chrono::seconds(3));
    } else {
      EXPECT_EQ(result.failDelay,
                outcome == kAccepted ? std::chrono::microseconds(0) : kUsualFailDelay);
    }
  }
  std::shared_ptr<AuthTokenHelper> token = AuthenticateUser(kUser, kPassword);
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token->GetUserName(), kUser);
}

TEST_F(AuthenticateUserTest, ConcurrentCallersKeepTheirOwnOutcome) {
  constexpr int kThreads = 8;
  std::vector<AuthenticationOutcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([i, &outcomes] {
      outcomes[i] = AuthenticateUserDeferringDelay(kUser, i % 2 == 0 ? kPassword : "wrong");
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(outcomes[i].token != nullptr, i % 2 == 0) << i;
    EXPECT_EQ(outcomes[i].failDelay.count() == 0, i % 2 == 0) << i;
    EXPECT_GE(outcomes[i].failDelay.count(), 0) << i;
  }
}

}  // namespace
}  // namespace Basalt::System
