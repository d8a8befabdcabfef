#include "tools/nox-saml-check/samlCheckCommand.h"

#include <gtest/gtest.h>

#include <sstream>

#include "lib/ssoclient/testing/suiteTokensTest.h"
#include "tools/nox-saml-check/samlTokenJson.h"

namespace NoxTools {
namespace {

using Basalt::Xml::Testing::WriteTextFile;

class SamlCheckCommandTest : public SsoClient::Testing::SuiteTokensTest {
 protected:
  static void SetUpTestSuite() {
    SuiteTokensTest::SetUpTestSuite();
    SsoClient::Testing::TokenSpec spec = Tokens().DefaultSpec();
    spec.subject = "ada \"quoted\"@EXAMPLE.TEST";
    WriteTextFile(PathOf("token.xml"), Tokens().Signed(spec, Tokens().IssuerRsa()));
    // One file holding two certificates: the signer's comes second.
    WriteTextFile(PathOf("chain.pem"),
                  Tokens().Untrusted().certPemText + Tokens().IssuerRsa().certPemText);
  }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return RunSamlCheck(args, out_, err_);
  }
  static std::string PathOf(const std::string& name) {
    return (Tokens().Dir().Path() / name).string();
  }

  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(SamlCheckCommandTest, PrintsTheModelOfAnAcceptedToken) {
  ASSERT_EQ(Run({PathOf("token.xml"), PathOf("chain.pem"), "--now", "2030-01-01T10:30:00Z"}), 0)
      << out_.str() << err_.str();
  const std::string json = out_.str();
  EXPECT_NE(json.find("\"subject\": {\n    \"name\": \"ada \\\"quoted\\\"\",\n    \"domain\": "
                      "\"EXAMPLE.TEST\"\n  }"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"confirmationType\": \"holder-of-key\""), std::string::npos);
  EXPECT_NE(json.find("\"confirmationPublicKey\": \"" +
                      Tokens().Certificate(Tokens().Client())->GetPublicKeyBase64() + "\""),
            std::string::npos);
  EXPECT_NE(json.find("\"expirationTime\": \"2030-01-01T11:00:00Z\""), std::string::npos);
  EXPECT_NE(json.find("\"confirmationExpirationTime\": null,"), std::string::npos);
  EXPECT_NE(json.find("\"name\": \"Administrators\""), std::string::npos);
  EXPECT_NE(json.find("\"renewable\": true"), std::string::npos);
}

// The daemon accepts a confirmation time that is no date unless told to check it: so does this.
TEST_F(SamlCheckCommandTest, ShowsTheConfirmationTimeAndWhyItIsUnreadable) {
  for (const auto& [value, shown] : std::vector<std::pair<std::string, std::string>>{
           {"2030-01-01T12:15:00+02:00",
            "\"confirmationExpirationTime\": \"2030-01-01T10:15:00Z\",\n"},
           {"soon",
            "\"confirmationExpirationTime\": null,\n  \"confirmationExpirationTimeError\": "
            "\"SubjectConfirmationData/@NotOnOrAfter is not a date\",\n"},
       }) {
    SCOPED_TRACE(value);
    const std::string xml = SsoClient::Testing::ReplaceOnce(
        Tokens().Render(Tokens().DefaultSpec()), "<saml2:SubjectConfirmationData ",
        "<saml2:SubjectConfirmationData NotOnOrAfter=\"" + value + "\" ");
    WriteTextFile(PathOf("confirmed.xml"), Tokens().Sign(xml, Tokens().IssuerRsa()));
    ASSERT_EQ(Run({PathOf("confirmed.xml"), PathOf("chain.pem"), "--now", "2030-01-01T10:30:00Z"}),
              0)
        << out_.str();
    EXPECT_NE(out_.str().find(shown), std::string::npos) << out_.str();
  }
}

TEST_F(SamlCheckCommandTest, PrintsRefusalsWithTheirClass) {
  EXPECT_EQ(Run({PathOf("token.xml"), PathOf("chain.pem"), "--now", "2030-01-01T11:10:00Z"}), 1);
  EXPECT_EQ(out_.str(),
            "SsoClient::ParseException: The token has expired at: 2030-01-01T11:00:00Z\n");
  EXPECT_EQ(Run({PathOf("token.xml"), Tokens().Untrusted().certPem.string(), "--now",
                 "2030-01-01T10:30:00Z"}),
            1);
  EXPECT_EQ(out_.str(),
            "SsoClient::InvalidSignatureException: Failed to verify signature: token might have "
            "been tampered with.\n");
  EXPECT_EQ(Run({PathOf("chain.pem"), PathOf("chain.pem")}), 1);
  EXPECT_EQ(out_.str().rfind("Basalt::Exception: ", 0), 0u) << out_.str();
}

TEST_F(SamlCheckCommandTest, UsageErrors) {
  EXPECT_EQ(Run({PathOf("token.xml")}), 2);
  EXPECT_EQ(Run({PathOf("token.xml"), PathOf("chain.pem"), "--now", "tomorrow"}), 2);
  EXPECT_EQ(Run({PathOf("missing.xml"), PathOf("chain.pem")}), 2);
  EXPECT_EQ(Run({PathOf("token.xml"), PathOf("token.xml")}), 2);
  EXPECT_NE(err_.str().find("no PEM certificate found"), std::string::npos) << err_.str();
  EXPECT_TRUE(out_.str().empty());
}

TEST(SamlTokenJsonTest, QuotesControlCharacters) {
  EXPECT_EQ(JsonQuote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

}  // namespace
}  // namespace NoxTools
