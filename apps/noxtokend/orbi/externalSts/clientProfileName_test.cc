#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"

#include <gtest/gtest.h>

namespace NoxToken {
namespace {

using Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject;
using Com::Tessel::Nox::Authentication::ClientProfilesSvc::SubjectType;

// Each kind of name is checked as the service makes it (ClientProfileImplTest) and as it travels
// and persists (tests/e2e/test_management.py); here what escaping is for.
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
