#include "tools/noxtokenctl/textTable.h"

#include <gtest/gtest.h>

#include "platform/orbi/json.h"
#include "tools/noxtokenctl/textViews.h"

namespace NoxCtl {
namespace {

TEST(TextTableTest, AlignsColumnsByCharactersWithoutTrailingBlanks) {
  EXPECT_EQ(FormatTable({"PROFILE", "NAME", "GRANTS"},
                        {{"p1", "jürgen", "HOST:OPERATOR"}, {"profile-22", "al"}}),
            "PROFILE     NAME    GRANTS\n"
            "p1          jürgen  HOST:OPERATOR\n"
            "profile-22  al\n");
}

TEST(TextTableTest, FieldsContinueMultiLineValuesInTheValueColumn) {
  EXPECT_EQ(FormatFields({{"Type", "LOCAL_USER"}, {"Grants", "HOST:ADMINISTRATOR\nHOST:OPERATOR"}}),
            "Type:    LOCAL_USER\n"
            "Grants:  HOST:ADMINISTRATOR\n"
            "         HOST:OPERATOR\n");
}

TEST(TextViewsTest, ProfileColumnsFollowTheProjection) {
  Orbi::Json::JsonPtr none(json_array());
  EXPECT_EQ(ProfileListView(*none, ""), "PROFILE  TYPE  NAME  ISSUER ALIAS  DOMAIN\n");
  Orbi::Json::JsonPtr names(
      json_loads(R"([{"projection":"NAME","profile":"a","subject":null}])", 0, nullptr));
  EXPECT_EQ(ProfileListView(*names, "NAME"), "PROFILE\na\n");
  Orbi::Json::JsonPtr full(json_loads(
      R"([{"projection":"FULL","profile":"b","subject":{"type":"EXTERNAL_GROUP","name":"ops",
           "issuer_alias":"corp","domain":null},
           "grants":[{"resource_type":"HOST","entitlement":"READ_ONLY"},
                     {"resource_type":"HOST","entitlement":null}]}])",
      0, nullptr));
  EXPECT_EQ(ProfileListView(*full, "FULL"),
            "PROFILE  TYPE            NAME  ISSUER ALIAS  DOMAIN  GRANTS\n"
            "b        EXTERNAL_GROUP  ops   corp          -       HOST:READ_ONLY,HOST\n");
}

}  // namespace
}  // namespace NoxCtl
