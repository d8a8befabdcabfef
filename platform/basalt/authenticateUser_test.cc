#include "platform/basalt/authenticateUser.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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
    char pattern[] = "/tmp/authenticateUser_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    const std::string command = std::string("'") + NOX_SOURCE_DIR + "/scripts/dev-root' '" + root_ +
                                "' --user '" + kUser + ":" + kPassword + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ASSERT_EQ(setenv("TESSEL_ROOT", root_.c_str(), 1), 0);
  }

  static void TearDownTestSuite() {
    unsetenv("TESSEL_ROOT");
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }

  inline static std::string root_;
};

TEST_F(AuthenticateUserTest, RightPasswordIsAccepted) {
  AuthenticationOutcome outcome = AuthenticateUserDeferringDelay(kUser, kPassword);
  ASSERT_NE(outcome.token, nullptr);
  EXPECT_EQ(outcome.token->GetUserName(), kUser);
  EXPECT_EQ(outcome.failDelay.count(), 0);

  std::shared_ptr<AuthTokenHelper> token = AuthenticateUser(kUser, kPassword);
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token->GetUserName(), kUser);
}

TEST_F(AuthenticateUserTest, WrongPasswordIsRefusedWithTheModulesDelay) {
  AuthenticationOutcome outcome = AuthenticateUserDeferringDelay(kUser, "correct horse");
  EXPECT_EQ(outcome.token, nullptr);
  // pam_faildelay and pam_pwdfile both ask for 2 s; PAM randomises it within +-50 %.
  EXPECT_GE(outcome.failDelay, std::chrono::seconds(1));
  EXPECT_LE(outcome.failDelay, std::chrono::seconds(3));

  EXPECT_EQ(AuthenticateUser(kUser, "CORRECT HORSE:BATTERY"), nullptr);
}

TEST_F(AuthenticateUserTest, UnknownUserAndEmptyPasswordAreRefused) {
  AuthenticationOutcome unknown = AuthenticateUserDeferringDelay("bob", kPassword);
  EXPECT_EQ(unknown.token, nullptr);
  EXPECT_GT(unknown.failDelay.count(), 0);

  EXPECT_EQ(AuthenticateUserDeferringDelay(kUser, "").token, nullptr);
  EXPECT_EQ(AuthenticateUserDeferringDelay("ALICE", kPassword).token, nullptr);
}

// None of these reach PAM: a refusal there would carry the modules' failure delay.
TEST_F(AuthenticateUserTest, UnacceptableInputIsRefusedBeforePam) {
  const std::string longPassword = kPassword + std::string(kMaxAuthPasswordLength, 'x');
  const std::vector<std::pair<std::string, std::string>> inputs = {
      {kUser, kPassword + "\0tail"s},
      {kUser + "\0"s, kPassword},
      {"", kPassword},
      {kUser, longPassword},
      {std::string(kMaxAuthUserNameLength + 1, 'a'), kPassword},
  };
  for (const auto& [user, password] : inputs) {
    SCOPED_TRACE(testing::Message() << "user of " << user.size() << " bytes, password of "
                                    << password.size() << " bytes");
    AuthenticationOutcome outcome = AuthenticateUserDeferringDelay(user, password);
    EXPECT_EQ(outcome.token, nullptr);
    EXPECT_EQ(outcome.failDelay.count(), 0);
  }
}

TEST_F(AuthenticateUserTest, LimitsThemselvesStillReachPam) {
  AuthenticationOutcome outcome =
      AuthenticateUserDeferringDelay(kUser, std::string(kMaxAuthPasswordLength, 'x'));
  EXPECT_EQ(outcome.token, nullptr);
  EXPECT_GT(outcome.failDelay.count(), 0);
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
    SCOPED_TRACE(i);
    if (i % 2 == 0) {
      ASSERT_NE(outcomes[i].token, nullptr);
      EXPECT_EQ(outcomes[i].failDelay.count(), 0);
    } else {
      EXPECT_EQ(outcomes[i].token, nullptr);
      EXPECT_GT(outcomes[i].failDelay.count(), 0);
    }
  }
}

}  // namespace
}  // namespace Basalt::System
