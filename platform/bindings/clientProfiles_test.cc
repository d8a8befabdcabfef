#include "platform/bindings/clientProfiles.h"

#include <gtest/gtest.h>

namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc {
namespace {

TEST(ClientProfilesBindingTest, UnknownTextIsKeptAndComparedByText) {
  auto odd = Entitlement::FromString("administrator");  // names are case-sensitive
  EXPECT_TRUE(odd.IsUnknown());
  EXPECT_EQ(odd.ToString(), "administrator");
  EXPECT_EQ(odd, Entitlement::FromString("administrator"));
  EXPECT_FALSE(odd == Entitlement::FromString("OTHER"));
  EXPECT_EQ(ResourceType::FromString("").GetValue(), ResourceType::UNKNOWN);
  EXPECT_TRUE(SubjectType::FromString("GROUP").IsUnknown());
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc
