#include "platform/bindings/clientProfiles.h"

#include <gtest/gtest.h>

namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc {
namespace {

TEST(ClientProfilesBindingTest, KnownNamesMapToTheirValuesAndBack) {
  EXPECT_EQ(SubjectType::FromString("LOCAL_USER").GetValue(), SubjectType::LOCAL_USER);
  EXPECT_EQ(SubjectType::FromString("EXTERNAL_GROUP").GetValue(), 1);
  EXPECT_EQ(SubjectType::FromString("EXTERNAL_USER").GetValue(), 2);
  EXPECT_EQ(ResourceType::FromString("HOST").GetValue(), 0);
  EXPECT_EQ(Entitlement::FromString("ADMINISTRATOR").GetValue(), 0);
  EXPECT_EQ(Entitlement::FromString("OPERATOR").GetValue(), 1);
  EXPECT_EQ(Entitlement::FromString("READ_ONLY").GetValue(), 2);
  EXPECT_EQ(Entitlement(Entitlement::READ_ONLY).ToString(), "READ_ONLY");
  EXPECT_EQ(SubjectType(SubjectType::EXTERNAL_USER).ToString(), "EXTERNAL_USER");
}

TEST(ClientProfilesBindingTest, UnknownTextIsKeptAndComparedByText) {
  auto odd = Entitlement::FromString("administrator");  // names are case-sensitive
  EXPECT_TRUE(odd.IsUnknown());
  EXPECT_EQ(odd.GetValue(), 3);
  EXPECT_EQ(odd.ToString(), "administrator");
  EXPECT_EQ(odd, Entitlement::FromString("administrator"));
  EXPECT_FALSE(odd == Entitlement::FromString("OTHER"));
  EXPECT_EQ(ResourceType::FromString("").GetValue(), ResourceType::UNKNOWN);
  EXPECT_EQ(SubjectType::FromString("GROUP").ToString(), "GROUP");
  EXPECT_EQ(SubjectType::FromString("GROUP").GetValue(), 3);
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc
