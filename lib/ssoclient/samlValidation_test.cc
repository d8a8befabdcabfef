#include "lib/ssoclient/samlValidation.h"

#include <gtest/gtest.h>

#include "lib/ssoclient/ssoExceptions.h"

namespace SsoClient {
namespace {

using Basalt::System::DateTime;

constexpr int64_t kSecond = 1000000;

ParsedAssertion ValidAssertion() {
  ParsedAssertion assertion;
  assertion.version = "2.0";
  assertion.id = "_id";
  assertion.confirmationType = CONFIRMATION_HOLDER_OF_KEY;
  assertion.conditions.notBefore = DateTime("2030-01-01T10:00:00Z");
  assertion.conditions.notOnOrAfter = DateTime("2030-01-01T11:00:00Z");
  return assertion;
}

std::string MessageAt(const ParsedAssertion& assertion, DateTime now) {
  try {
    CheckAssertionSemantics(assertion, 600, now);
  } catch (const ParseException& e) {
    return e.GetMessage();
  }
  return "accepted";
}

std::string Message(const ParsedAssertion& assertion) {
  return MessageAt(assertion, DateTime("2030-01-01T10:30:00Z"));
}

DateTime Shift(DateTime t, int64_t seconds) {
  return DateTime::FromUtcMicroseconds(t.GetUtcTime() + seconds * kSecond);
}

TEST(SamlValidationTest, VersionAndId) {
  EXPECT_EQ(Message(ValidAssertion()), "accepted");
  for (const char* version : {"2.00", "2", "", "1.1"}) {
    ParsedAssertion assertion = ValidAssertion();
    assertion.version = version;
    EXPECT_EQ(Message(assertion), "Invalid token version") << version;
  }
  for (const char* id : {"", "id", " _id"}) {
    ParsedAssertion assertion = ValidAssertion();
    assertion.id = id;
    EXPECT_EQ(Message(assertion), "Invalid token ID") << id;
  }
}

TEST(SamlValidationTest, ValidityWindowWithTolerance) {
  const ParsedAssertion assertion = ValidAssertion();
  const DateTime start = assertion.conditions.notBefore;
  const DateTime end = assertion.conditions.notOnOrAfter;
  EXPECT_EQ(MessageAt(assertion, Shift(end, 599)), "accepted");
  EXPECT_EQ(MessageAt(assertion, Shift(end, 600)),
            "The token has expired at: 2030-01-01T11:00:00Z");
  EXPECT_EQ(MessageAt(assertion, Shift(start, -600)), "accepted");
  EXPECT_EQ(MessageAt(assertion, Shift(start, -601)),
            "Token start date is in the future: 2030-01-01T10:00:00Z");
  EXPECT_EQ(
      MessageAt(assertion, DateTime::FromUtcMicroseconds(end.GetUtcTime() + 600 * kSecond - 1)),
      "accepted");

  ParsedAssertion empty = ValidAssertion();
  empty.conditions.notOnOrAfter = empty.conditions.notBefore;
  EXPECT_EQ(MessageAt(empty, empty.conditions.notBefore),
            "Unsatisfiable token validity conditions: NotBefore must be less than NotOnOrAfter.");
}

TEST(SamlValidationTest, BearerSubjectValidity) {
  ParsedAssertion assertion = ValidAssertion();
  assertion.confirmationType = CONFIRMATION_BEARER;
  assertion.subjectNotOnOrAfter = assertion.conditions.notOnOrAfter;
  EXPECT_EQ(Message(assertion), "accepted");
  assertion.subjectNotOnOrAfter = Shift(assertion.conditions.notOnOrAfter, -1);
  EXPECT_EQ(Message(assertion), "Invalid token subject validity");
  assertion.confirmationType = CONFIRMATION_HOLDER_OF_KEY;
  EXPECT_EQ(Message(assertion), "accepted");
}

TEST(SamlValidationTest, DelegationConsistency) {
  const NameIdValue last{"http://schemas.xmlsoap.org/claims/UPN", "last@D"};
  ParsedAssertion assertion = ValidAssertion();
  assertion.delegateId = last;
  EXPECT_EQ(Message(assertion),
            "Token SubjectConfirmation contains delegate id, but no delegation restriction is "
            "present");

  assertion.conditions.delegationChain =
      std::vector<ParsedDelegate>{{DateTime(), {last.format, "first@D"}}, {DateTime(), last}};
  EXPECT_EQ(Message(assertion), "accepted");

  for (const NameIdValue& other :
       {NameIdValue{last.format, "first@D"}, NameIdValue{"urn:other", last.value},
        NameIdValue{last.format, "LAST@D"}}) {
    assertion.delegateId = other;
    EXPECT_EQ(Message(assertion),
              "The SubjectConfirmation delegate id does not match the id of the last delegate");
  }

  assertion.delegateId.reset();
  EXPECT_EQ(Message(assertion),
            "Token has delegation restriction, but no delegate id is present in the "
            "SubjectConfirmation");
}

}  // namespace
}  // namespace SsoClient
