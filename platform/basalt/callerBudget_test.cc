#include "platform/basalt/callerBudget.h"

#include <gtest/gtest.h>

namespace Basalt {
namespace {

using namespace std::chrono_literals;

class CallerBudgetTest : public ::testing::Test {
 protected:
  CallerBudget::Clock::time_point now{};
  // 100 bytes a second: a budget of 3,200.
  CallerBudget budget{100, [this] { return now; }};
};

TEST_F(CallerBudgetTest, HoldsBackBeyondTheBudgetAndCountsInTheNextWrite) {
  for (int i = 0; i < 32; ++i) ASSERT_EQ(budget.Take(1000, 100), 0u) << i;
  EXPECT_EQ(budget.Take(1000, 100), std::nullopt);
  EXPECT_EQ(budget.Take(1000, 100), std::nullopt);
  now += 500ms;  // 50 bytes back: not yet room for 100
  EXPECT_EQ(budget.Take(1000, 100), std::nullopt);
  now += 600ms;
  EXPECT_EQ(budget.Take(1000, 100), 3u);
  EXPECT_EQ(budget.Take(1000, 100), std::nullopt);

  // Each host user has its own budget; callers without a uid share one.
  EXPECT_EQ(budget.Take(1001, 3200), 0u);
  EXPECT_EQ(budget.Take(std::nullopt, 3200), 0u);
  EXPECT_EQ(budget.Take(std::nullopt, 1), std::nullopt);
  EXPECT_EQ(budget.Take(1002, 1), 0u);

  // A full budget lets one record larger than itself through, then owes it.
  now += 1h;
  EXPECT_EQ(budget.Take(1000, 10000), 1u);
  now += 60s;
  EXPECT_EQ(budget.Take(1000, 1), std::nullopt);
  now += 12s;
  EXPECT_EQ(budget.Take(1000, 1), 1u);

  // A write of several items counts them all; the note that says how many were held back is
  // paid for with the write that carries it.
  now += 1h;
  EXPECT_EQ(budget.Take(1000, 3200), 0u);
  EXPECT_EQ(budget.Take(1000, 100, 7, 50), std::nullopt);
  now += 1s;
  EXPECT_EQ(budget.Take(1000, 100, 1, 50), std::nullopt);  // 150 due, 100 there
  now += 1s;
  EXPECT_EQ(budget.Take(1000, 100, 1, 50), 8u);
  EXPECT_EQ(budget.Take(1000, 50, 1, 50), 0u);  // no note due: 50 left fits
  EXPECT_EQ(budget.Take(1000, 1), std::nullopt);
}

TEST_F(CallerBudgetTest, ZeroLetsEverythingThroughAndIdleCallersAreForgotten) {
  CallerBudget unlimited(0, [this] { return now; });
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(unlimited.Take(1, 1 << 20), 0u);

  // A caller that is still paying off its budget is kept when the table is full; one whose
  // budget refilled is forgotten, which loses nothing.
  budget.Take(7, 3200);
  for (uint32_t uid = 100; uid < 100 + CallerBudget::kMaxCallers; ++uid) budget.Take(uid, 1);
  now += 1h;
  budget.Take(7, 3200);
  for (uint32_t uid = 100000; uid < 100000 + CallerBudget::kMaxCallers; ++uid) budget.Take(uid, 1);
  EXPECT_EQ(budget.Take(7, 1), std::nullopt);
}

}  // namespace
}  // namespace Basalt
