#include "platform/basalt/httpBodyBudget.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace Basalt::Http {
namespace {

// Records admissions; each admitted reservation is kept until the test drops it.
struct Admissions {
  std::vector<std::optional<BodyBudget::Reservation>> held{8};

  BodyBudget::AdmittedFn For(size_t slot) {
    return
        [this, slot](BodyBudget::Reservation reservation) { held[slot] = std::move(reservation); };
  }
  bool Admitted(size_t slot) const { return held[slot].has_value(); }
};

TEST(BodyBudgetTest, AdmitsInOrderWhatFitsAndLargeBodiesAlone) {
  int drained = 0;
  auto budget = std::make_shared<BodyBudget>(100, [&drained] { ++drained; });
  Admissions a;
  budget->Reserve(60, a.For(0));
  budget->Reserve(50, a.For(1));   // does not fit beside the first
  budget->Reserve(10, a.For(2));   // would fit, but waits behind the earlier one
  budget->Reserve(500, a.For(3));  // larger than the budget: goes alone
  EXPECT_TRUE(a.Admitted(0));
  EXPECT_FALSE(a.Admitted(1));
  EXPECT_FALSE(a.Admitted(2));

  a.held[0].reset();
  EXPECT_TRUE(a.Admitted(1));
  EXPECT_TRUE(a.Admitted(2));
  EXPECT_FALSE(a.Admitted(3));

  a.held[1].reset();
  EXPECT_FALSE(a.Admitted(3));
  a.held[2].reset();
  EXPECT_TRUE(a.Admitted(3));

  // A moved reservation releases once, when its last holder goes.
  BodyBudget::Reservation moved = std::move(*a.held[3]);
  a.held[3].reset();
  budget->Reserve(100, a.For(4));
  EXPECT_FALSE(a.Admitted(4));
  moved = {};
  EXPECT_TRUE(a.Admitted(4));
  EXPECT_EQ(drained, 0);
  a.held[4].reset();
  EXPECT_EQ(drained, 1);
}

}  // namespace
}  // namespace Basalt::Http
