#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"

#include <gtest/gtest.h>

namespace NoxToken {
namespace {

using Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject;
using Com::Tessel::Nox::Authentication::ClientProfilesSvc::SubjectType;

TEST(ClientProfileNameTest, LocalUsersHaveEmptyAliasAndDomainParts) {
  EXPECT_EQ(MakeProfileName(Subject{SubjectType::LOCAL_USER, "root", {}, {}}), "LU###root");
  EXPECT_EQ(MakeProfileName(Subject{SubjectType::LOCAL_USER, "a#b", {}, {}}), "LU###a\\#b");
  EXPECT_EQ(MakeProfileName(Subject{SubjectType::LOCAL_USER, "a\\b", {}, {}}), "LU###a\\\\b");
}

TEST(ClientProfileNameTest, ExternalSubjectsCarryEveryEscapedPart) {
  EXPECT_EQ(MakeProfileName(Subject{SubjectType::EXTERNAL_GROUP, "admins", "idp", "corp.local"}),
            "SG#idp#corp.local#admins");
  EXPECT_EQ(MakeProfileName(Subject{SubjectType::EXTERNAL_USER, "u", "i#1", "d\\2"}),
            "SU#i\\#1#d\\\\2#u");
}

TEST(ClientProfileNameTest, EscapingKeepsDifferentSubjectsApart) {
  // Unescaped, both would read "SU#a#b#c#d".
  Subject first{SubjectType::EXTERNAL_USER, "c#d", "a", "b"};
  Subject second{SubjectType::EXTERNAL_USER, "d", "a", "b#c"};
  EXPECT_NE(MakeProfileName(first), MakeProfileName(second));
  // A backslash before "#" must not turn into an escaped "#".
  EXPECT_EQ(EscapeProfileNamePart("x\\#"), "x\\\\\\#");
  EXPECT_NE(MakeProfileName(Subject{SubjectType::LOCAL_USER, "a\\", {}, {}}),
            MakeProfileName(Subject{SubjectType::LOCAL_USER, "a#", {}, {}}));
}

}  // namespace
}  // namespace NoxToken
