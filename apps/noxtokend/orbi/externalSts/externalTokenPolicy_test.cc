#include "apps/noxtokend/orbi/externalSts/externalTokenPolicy.h"

#include <gtest/gtest.h>

#include "platform/basalt/exception.h"
#include "platform/basalt/jsonHandle.h"

namespace Nox::Authn {
namespace {

constexpr int64_t kNow = 1'700'000'000;

ExternalTokenPolicy Read(const std::string& inner) {
  return ExternalTokenPolicy::FromConfig(
      *Basalt::Service::Config::Parse("<config>" + inner + "</config>", "test"));
}

TEST(ExternalTokenPolicyTest, ReadsTheConfigurationOrRefusesIt) {
  EXPECT_EQ(Read("").Describe(), "any audience; \"nbf\" and \"iat\" not checked");
  EXPECT_FALSE(Read("").ChecksJwtClaims());
  EXPECT_EQ(Read("<externalTokens><audience>a</audience><audience>b</audience>"
                 "<checkNotBefore>true</checkNotBefore></externalTokens>")
                .Describe(),
            "audience one of [a, b]; \"nbf\" and \"iat\" at most 60 s ahead");
  EXPECT_EQ(Read("<externalTokens><checkNotBefore>false</checkNotBefore>"
                 "<clockSkewSeconds>5</clockSkewSeconds></externalTokens>")
                .Describe(),
            "any audience; \"nbf\" and \"iat\" not checked");
  EXPECT_EQ(Read("<externalTokens><checkConfirmationExpiry>true</checkConfirmationExpiry>"
                 "<clockSkewSeconds>5</clockSkewSeconds></externalTokens>")
                .Describe(),
            "any audience; \"nbf\" and \"iat\" not checked; SAML confirmation NotOnOrAfter at "
            "most 5 s past");
  EXPECT_FALSE(Read("<externalTokens><checkConfirmationExpiry>false</checkConfirmationExpiry>"
                    "</externalTokens>")
                   .checkConfirmationExpiry);
  for (const char* bad :
       {"<audience></audience>", "<checkNotBefore>yes</checkNotBefore>",
        "<checkConfirmationExpiry>1</checkConfirmationExpiry>",
        "<clockSkewSeconds>-1</clockSkewSeconds>", "<clockSkewSeconds>86401</clockSkewSeconds>",
        "<clockSkewSeconds>1m</clockSkewSeconds>"}) {
    EXPECT_THROW(Read(std::string("<externalTokens>") + bad + "</externalTokens>"),
                 Basalt::Exception)
        << bad;
  }
}

// Each row: the policy, the claims, and the check that refuses them ("" when admitted) with what
// the log is told the token holds.
TEST(ExternalTokenPolicyTest, EachRuleRefusesWithItsOwnCheck) {
  ExternalTokenPolicy none;
  ExternalTokenPolicy audience;
  audience.audiences = {"nox", "other"};
  ExternalTokenPolicy notBefore;
  notBefore.checkNotBefore = true;
  notBefore.clockSkewSeconds = 60;
  const std::string soon = std::to_string(kNow + 60), late = std::to_string(kNow + 61);
  const struct {
    const ExternalTokenPolicy& policy;
    std::string claims;
    std::string refusal;
  } rows[] = {
      {none, R"({"aud":"elsewhere","nbf":9999999999,"iat":9999999999})", ""},
      {audience, R"({"aud":"nox"})", ""},
      {audience, R"({"aud":["elsewhere","other"]})", ""},
      {audience, R"({"aud":"elsewhere"})", "audience not accepted: [elsewhere]"},
      {audience, R"({"aud":["a","b"]})", "audience not accepted: [a, b]"},
      {audience, R"({"aud":{"nox":1}})", "audience not accepted: []"},
      {audience, R"({})", "audience not accepted: []"},
      {notBefore, R"({"nbf":)" + soon + R"(,"iat":)" + soon + "}", ""},
      {notBefore, "{}", ""},
      {notBefore, R"({"nbf":)" + late + "}", "not yet valid (nbf): " + late},
      {notBefore, R"({"nbf":"0"})", "not yet valid (nbf): not a number"},
      {notBefore, R"({"iat":)" + late + ".5}", "issued in the future (iat): " + late + ".5"},
      {notBefore, R"({"aud":"elsewhere","iat":1e300})", "issued in the future (iat): 1e+300"},
  };
  for (const auto& row : rows) {
    Basalt::Json::JsonPtr claims(json_loads(row.claims.c_str(), 0, nullptr));
    ASSERT_TRUE(claims) << row.claims;
    auto refusal = row.policy.CheckJwt(*claims, kNow);
    EXPECT_EQ(refusal ? std::string(Describe(refusal->check)) + ": " + refusal->found : "",
              row.refusal)
        << row.claims;
  }
  EXPECT_FALSE(audience.CheckSamlAudience({"x", "nox"}));
  auto saml = audience.CheckSamlAudience({});
  ASSERT_TRUE(saml);
  EXPECT_EQ(saml->check, ExternalTokenCheck::kAudienceNotAccepted);
  EXPECT_FALSE(none.CheckSamlAudience({}));

  // The confirmation's NotOnOrAfter, and the refusal ("" when admitted) at kNow.
  ExternalTokenPolicy expiry;
  expiry.checkConfirmationExpiry = true;
  expiry.clockSkewSeconds = 60;
  const auto at = [](int64_t seconds) {
    return Basalt::System::DateTime::FromUtcMicroseconds(seconds * 1'000'000);
  };
  const std::string expired = "confirmation expired (SubjectConfirmationData NotOnOrAfter): ";
  const struct {
    const ExternalTokenPolicy& policy;
    std::optional<Basalt::System::DateTime> notOnOrAfter;
    std::string refusal;
  } samlRows[] = {
      {none, at(0), ""},
      {expiry, std::nullopt, ""},
      {expiry, at(kNow - 59), ""},
      {expiry, at(kNow - 60), expired + "2023-11-14T22:12:20Z"},
      {expiry, at(0), expired + "1970-01-01T00:00:00Z"},
  };
  for (const auto& row : samlRows) {
    auto refusal = row.policy.CheckSamlConfirmationExpiry(row.notOnOrAfter, at(kNow));
    EXPECT_EQ(refusal ? std::string(Describe(refusal->check)) + ": " + refusal->found : "",
              row.refusal);
  }
}

}  // namespace
}  // namespace Nox::Authn
