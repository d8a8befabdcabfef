#include "lib/ssoclient/samlParser.h"

#include <gtest/gtest.h>

#include "lib/ssoclient/samlTokenImpl.h"
#include "lib/ssoclient/ssoExceptions.h"
#include "lib/ssoclient/testing/samlTestTokens.h"

namespace SsoClient {
namespace {

using Basalt::System::DateTime;
using Testing::Fragment;
using Testing::ReplaceOnce;
using Testing::TokenSpec;

const DateTime kNow("2030-01-01T10:30:00Z");

class SamlParserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tokens_ = new Testing::SamlTestTokens(); }
  static void TearDownTestSuite() { delete tokens_; }

  static std::shared_ptr<SamlTokenImpl> Parse(const std::string& xml) {
    return std::make_shared<SamlTokenImpl>(xml, 600, Basalt::System::FixedUtcClock(kNow));
  }
  static std::string Default() { return tokens_->Render(tokens_->DefaultSpec()); }

  // The ParseException message, "accepted", or "runtime: " and a Basalt::Exception's message.
  static std::string RefusalOf(const std::string& xml) {
    try {
      Parse(xml);
    } catch (const ParseException& e) {
      return e.GetMessage();
    } catch (const SsoException& e) {
      return "other library error: " + e.GetMessage();
    } catch (const Basalt::Exception& e) {
      return "runtime: " + e.GetMessage();
    }
    return "accepted";
  }
  static std::string WithAttribute(const std::string& name, const std::string& values) {
    TokenSpec spec = tokens_->DefaultSpec();
    spec.attributeStatement = "<saml2:AttributeStatement><saml2:Attribute Name=\"" + name +
                              "\" NameFormat=\"uri\">" + values +
                              "</saml2:Attribute></saml2:AttributeStatement>";
    return tokens_->Render(spec);
  }
  static std::string WithConditions(const std::string& conditions) {
    TokenSpec spec = tokens_->DefaultSpec();
    spec.conditions = conditions;
    return tokens_->Render(spec);
  }

  static Testing::SamlTestTokens* tokens_;
};

Testing::SamlTestTokens* SamlParserTest::tokens_;

TEST_F(SamlParserTest, HolderOfKeyTokenModel) {
  const std::string xml = Default();
  const auto token = Parse(xml);
  EXPECT_EQ(token->GetId(), "_5e1f3c7a-90b2-4d4e-8a61-token");
  EXPECT_EQ(token->GetIssuer(), "https://sts.example.test/issuer");
  EXPECT_EQ(token->GetStartTime(), DateTime("2030-01-01T10:00:00Z"));
  EXPECT_EQ(token->GetExpirationTime(), DateTime("2030-01-01T11:00:00Z"));
  EXPECT_EQ(token->GetSubject(), (PrincipalId{"ada", "EXAMPLE.TEST"}));
  EXPECT_EQ(token->GetSubject().ToString(), "{Name: ada; Domain:EXAMPLE.TEST}");
  EXPECT_EQ(token->GetConfirmationType(), CONFIRMATION_HOLDER_OF_KEY);
  ASSERT_TRUE(token->GetConfirmationCertificate());
  EXPECT_EQ(token->GetConfirmationCertificate()->GetDer(),
            tokens_->Certificate(tokens_->Client())->GetDer());
  EXPECT_TRUE(token->IsRenewable());
  EXPECT_TRUE(token->IsDelegable());
  EXPECT_FALSE(token->IsSolution());
  EXPECT_EQ(token->GetPersonName().givenName, "Ada");
  EXPECT_EQ(token->GetPersonName().surname, "Lovelace");
  EXPECT_EQ(token->GetGroups(), (std::vector<PrincipalId>{{"Administrators", "EXAMPLE.TEST"},
                                                          {"Everyone", "EXAMPLE.TEST"}}));
  EXPECT_EQ(token->GetAudience(),
            (std::set<std::string>{"urn:tessel:host:noxtokend", "urn:tessel:host:other"}));
  EXPECT_TRUE(token->GetDelegationChain().empty());
  EXPECT_TRUE(token->GetAdvice().empty());
  ASSERT_TRUE(token->GetSignature());
  EXPECT_EQ(token->GetSignature()->GetReferences().at(0).uri, "#" + token->GetId());
  EXPECT_EQ(token->GetXml(), xml);
}

TEST_F(SamlParserTest, BearerTokenWithAdviceAndDelegation) {
  TokenSpec spec = tokens_->DefaultSpec();
  spec.holderOfKey = false;
  spec.advice = Fragment("advice.xml");
  spec.conditions = Fragment("delegation.xml");
  spec.attributeStatement = "";
  spec.delegateId =
      "<saml2:NameID Format=\"http://schemas.xmlsoap.org/claims/UPN\">svc-last@EXAMPLE.TEST"
      "</saml2:NameID>";
  const auto token = Parse(tokens_->Render(spec));
  EXPECT_EQ(token->GetConfirmationType(), CONFIRMATION_BEARER);
  EXPECT_FALSE(token->GetConfirmationCertificate());
  EXPECT_FALSE(token->IsRenewable());
  EXPECT_FALSE(token->IsDelegable());
  EXPECT_TRUE(token->GetGroups().empty());
  EXPECT_TRUE(token->GetAudience().empty());
  const auto chain = token->GetDelegationChain();
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0].subject, (PrincipalId{"svc-first", "EXAMPLE.TEST"}));
  EXPECT_EQ(chain[1].subject, (PrincipalId{"svc-last", "EXAMPLE.TEST"}));
  EXPECT_EQ(chain[1].delegationInstant, spec.issueInstant);
  const auto advice = token->GetAdvice();
  ASSERT_EQ(advice.size(), 1u);
  EXPECT_EQ(advice[0].source, "urn:tessel:advice:source");
  ASSERT_EQ(advice[0].attributes.size(), 1u);
  EXPECT_EQ(advice[0].attributes[0].name, "urn:tessel:advice:role");
  EXPECT_EQ(advice[0].attributes[0].values, (std::vector<std::string>{"reader", "writer"}));
}

TEST_F(SamlParserTest, ElementOrderAndPresence) {
  const std::string xml = Default();
  const std::string authn =
      xml.substr(xml.find("<saml2:AuthnStatement"),
                 xml.find("</saml2:AuthnStatement>") + 23 - xml.find("<saml2:AuthnStatement"));
  const std::string conditionsEnd = "</saml2:Conditions>";
  const std::string conditions =
      xml.substr(xml.find("<saml2:Conditions"),
                 xml.find(conditionsEnd) + conditionsEnd.size() - xml.find("<saml2:Conditions"));
  const std::pair<std::string, std::string> cases[] = {
      {ReplaceOnce(xml, "</saml2:AttributeStatement>", "</saml2:AttributeStatement><saml2:Extra/>"),
       "Unexpected elements under Assertion"},
      {ReplaceOnce(xml, "<saml2:AttributeStatement>", "<saml2:Other/><saml2:AttributeStatement>"),
       "Expected element 'AttributeStatement' not found."},
      {ReplaceOnce(xml, authn, ""), "Expected element 'AuthnStatement' not found."},
      {ReplaceOnce(xml, conditions, ""), "Expected element 'Conditions' not found."},
      {ReplaceOnce(xml, "<saml2:Issuer ", "<saml2:Issuer xmlns:saml2=\"urn:other\" "),
       "Element 'Issuer' has unexpected namespace"},
      {xml.substr(0, xml.find("<ds:Signature")) + "</saml2:Assertion>",
       "Expected element ds:Signature not found"},
      {ReplaceOnce(xml, "</saml2:SubjectConfirmation>", "</saml2:SubjectConfirmation><x/>"),
       "Unexpected elements after SubjectConfirmation"},
      {ReplaceOnce(xml, "</ds:X509Certificate>", "</ds:X509Certificate><ds:X509Certificate/>"),
       "Unexpected elements after X509Certificate"},
      {ReplaceOnce(xml, "</ds:X509Data>", "</ds:X509Data><ds:KeyName>k</ds:KeyName>"),
       "Unexpected elements after X509Data"},
      {ReplaceOnce(xml, "</ds:KeyInfo>", "</ds:KeyInfo><ds:KeyInfo xmlns:ds=\"urn:d\"/>"),
       "Unexpected elements after SubjectConfirmationData/KeyInfo"},
      {ReplaceOnce(xml, "</saml2:AuthnContext>", "</saml2:AuthnContext><saml2:AuthnContext/>"),
       "Unexpected elements after AuthnContext"},
      {ReplaceOnce(xml, "</saml2:AuthnContextClassRef>", "</saml2:AuthnContextClassRef><x/>"),
       "Unexpected elements after AuthnContextClassRef"},
      {ReplaceOnce(xml, "<saml2:Issuer", "<!-- c --><saml2:Issuer"), "accepted"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(RefusalOf(text), expected) << text;
}

TEST_F(SamlParserTest, AttributeRules) {
  const std::string xml = Default();
  const std::pair<std::string, std::string> cases[] = {
      {ReplaceOnce(xml, " Version=\"2.0\"", ""),
       "Node 'Assertion is missing required attribute 'Version'"},
      {ReplaceOnce(xml, "<saml2:Subject>", "<saml2:Subject Extra=\"1\">"),
       "Unexpected attributes on element 'Subject'"},
      {ReplaceOnce(xml, "<saml2:Subject>", "<saml2:Subject xmlns:any=\"urn:any\" xmlns=\"urn:d\">"),
       "accepted"},
      {ReplaceOnce(xml, " Format=\"urn:oasis:names:tc:SAML:2.0:nameid-format:entity\"", ""),
       "Node 'Issuer is missing required attribute 'Format'"},
      {ReplaceOnce(xml, "<saml2:Conditions NotBefore=\"2030-01-01T10:00:00Z\"",
                   "<saml2:Conditions NotBefore=\"yesterday\""),
       "Conditions/@NotBefore is not a date"},
      {ReplaceOnce(xml, "<saml2:SubjectConfirmationData ",
                   "<saml2:SubjectConfirmationData NotOnOrAfter=\"2030-01-01T11:00:00Z\" "),
       "accepted"},
      {ReplaceOnce(xml, "<saml2:SubjectConfirmationData ",
                   "<saml2:SubjectConfirmationData xsi:nil=\"true\" "),
       "Unexpected attribute 'http://www.w3.org/2001/XMLSchema-instance:nil' on element "
       "'SubjectConfirmationData'"},
      {ReplaceOnce(xml, " xsi:type=\"saml2:KeyInfoConfirmationDataType\"", ""),
       "Node 'SubjectConfirmationData is missing required attribute "
       "'http://www.w3.org/2001/XMLSchema-instance:type'"},
      {ReplaceOnce(xml, "saml2:KeyInfoConfirmationDataType", "saml2:Other"),
       "Invalid SubjectConfirmationData type: 'saml2:Other'"},
      {ReplaceOnce(xml, "urn:oasis:names:tc:SAML:2.0:cm:holder-of-key", "urn:x"),
       "Unknown subject confirmation method: 'urn:x'"},
      {ReplaceOnce(xml, "FriendlyName=\"Groups\" ", ""), "accepted"},
      {ReplaceOnce(xml, "FriendlyName=\"Groups\" ", "Other=\"x\" "),
       "Unexpected attributes on element 'Attribute'"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(RefusalOf(text), expected) << text;

  const std::string undefinedPrefix = RefusalOf(
      ReplaceOnce(xml, "saml2:KeyInfoConfirmationDataType", "nope:KeyInfoConfirmationDataType"));
  EXPECT_EQ(undefinedPrefix.rfind("Element SubjectConfirmationDataat ", 0), 0u) << undefinedPrefix;
  EXPECT_NE(undefinedPrefix.find(" uses undefined prefix: `nope'"), std::string::npos);
}

TEST_F(SamlParserTest, TextContent) {
  const std::string xml = Default();
  EXPECT_EQ(Parse(ReplaceOnce(xml, ">ada@EXAMPLE.TEST<", "> ada@EXAMPLE.TEST\n<"))->GetSubject(),
            (PrincipalId{" ada", "EXAMPLE.TEST\n"}));
  const std::string textOnly =
      "Element 'NameID' must only have textual content (but has extra children or is empty).";
  EXPECT_EQ(RefusalOf(ReplaceOnce(xml, ">ada@EXAMPLE.TEST<", "> \n\t <")), textOnly);
  EXPECT_EQ(RefusalOf(ReplaceOnce(xml, ">ada@EXAMPLE.TEST<", "><")), textOnly);
  EXPECT_EQ(RefusalOf(ReplaceOnce(xml, ">ada@EXAMPLE.TEST<", ">ada<!-- -->@EXAMPLE.TEST<")),
            textOnly);
  EXPECT_EQ(RefusalOf(ReplaceOnce(xml, ">ada@EXAMPLE.TEST<", ">ada<b/><")), textOnly);
  EXPECT_EQ(RefusalOf(ReplaceOnce(xml, "<saml2:SubjectConfirmationData xsi:type",
                                  "<!-- x -->\n"
                                  "<saml2:SubjectConfirmationData xsi:type")),
            "accepted");

  TokenSpec bearer = tokens_->DefaultSpec();
  bearer.holderOfKey = false;
  EXPECT_EQ(
      RefusalOf(ReplaceOnce(tokens_->Render(bearer), "\"/>\n    </saml2:SubjectConfirmation>",
                            "\">x</saml2:SubjectConfirmationData></saml2:SubjectConfirmation>")),
      "Element 'SubjectConfirmationData' must be empty");
}

TEST_F(SamlParserTest, UpnSubjects) {
  TokenSpec spec = tokens_->DefaultSpec();
  spec.subject = "first@second@EXAMPLE.TEST";
  EXPECT_EQ(Parse(tokens_->Render(spec))->GetSubject(),
            (PrincipalId{"first@second", "EXAMPLE.TEST"}));
  for (const char* subject : {"@EXAMPLE.TEST", "ada@", "ada"}) {
    spec.subject = subject;
    EXPECT_EQ(RefusalOf(tokens_->Render(spec)), "Failed to parse the UPN NameID: `" +
                                                    std::string(subject) +
                                                    "'; name or domain part is missing.");
  }
  EXPECT_EQ(
      RefusalOf(ReplaceOnce(Default(), "Format=\"http://schemas.xmlsoap.org/claims/UPN\"",
                            "Format=\"urn:oasis:names:tc:SAML:1.1:nameid-format:unspecified\"")),
      "Invalid or unsupported NameId format "
      "'urn:oasis:names:tc:SAML:1.1:nameid-format:unspecified'");
}

TEST_F(SamlParserTest, AttributeStatementValues) {
  const std::string groups = "urn:tessel:sts:attributes:groupIdentity";
  EXPECT_EQ(Parse(WithAttribute(groups, "<saml2:AttributeValue>D\\g\\h</saml2:AttributeValue>"))
                ->GetGroups(),
            (std::vector<PrincipalId>{{"g\\h", "D"}}));
  for (const char* value : {"\\group", "domain\\", "nobackslash"}) {
    EXPECT_EQ(RefusalOf(WithAttribute(groups, "<saml2:AttributeValue>" + std::string(value) +
                                                  "</saml2:AttributeValue>")),
              "Failed to parse Group Identity value: `" + std::string(value) +
                  "'; domain or group missing");
  }

  const std::string isSolution = "urn:tessel:sts:attributes:isSolution";
  const auto solution = [&](const std::string& values) {
    return Parse(WithAttribute(isSolution, values))->IsSolution();
  };
  EXPECT_TRUE(solution("<saml2:AttributeValue>TRUE</saml2:AttributeValue>"));
  EXPECT_TRUE(solution("<saml2:AttributeValue>tRuE</saml2:AttributeValue>"));
  EXPECT_FALSE(solution("<saml2:AttributeValue>yes</saml2:AttributeValue>"));
  EXPECT_EQ(RefusalOf(WithAttribute(isSolution, "")), "No value found for attribute isSolution.");
  EXPECT_EQ(RefusalOf(WithAttribute(isSolution,
                                    "<saml2:AttributeValue>true</saml2:AttributeValue>"
                                    "<saml2:AttributeValue>true</saml2:AttributeValue>")),
            "More than one value found for attribute isSolution.");

  const std::string givenName = "http://schemas.xmlsoap.org/ws/2005/05/identity/claims/givenname";
  EXPECT_EQ(Parse(WithAttribute(givenName, ""))->GetPersonName().givenName, "");
  EXPECT_EQ(Parse(WithAttribute(givenName,
                                "<saml2:AttributeValue>A</saml2:AttributeValue>"
                                "<saml2:AttributeValue>B</saml2:AttributeValue>"))
                ->GetPersonName()
                .givenName,
            "A");
  // A later attribute of the same name wins; unknown names are ignored.
  std::string twice = ReplaceOnce(Default(), ">Ada<", ">First<");
  twice = ReplaceOnce(twice, "</saml2:AttributeStatement>",
                      "<saml2:Attribute Name=\"" + givenName +
                          "\" NameFormat=\"u\"><saml2:AttributeValue>Second"
                          "</saml2:AttributeValue></saml2:Attribute><saml2:Attribute "
                          "Name=\"urn:unknown\" NameFormat=\"u\"/></saml2:AttributeStatement>");
  EXPECT_EQ(Parse(twice)->GetPersonName().givenName, "Second");
}

TEST_F(SamlParserTest, ConditionKinds) {
  const std::string audience =
      "<saml2:AudienceRestriction><saml2:Audience>a</saml2:Audience>"
      "<saml2:Audience>a</saml2:Audience></saml2:AudienceRestriction>";
  EXPECT_EQ(Parse(WithConditions(audience))->GetAudience(), (std::set<std::string>{"a"}));
  EXPECT_EQ(RefusalOf(WithConditions(audience + audience)),
            "Unknown or duplicate restriction node under Conditions: AudienceRestriction");
  EXPECT_EQ(RefusalOf(WithConditions("<saml2:OneTimeUse/>")),
            "Unknown or duplicate restriction node under Conditions: OneTimeUse");
  EXPECT_EQ(RefusalOf(WithConditions("text")),
            "Unknown or duplicate restriction node under Conditions");
  EXPECT_EQ(Parse(WithConditions(""))->IsDelegable(), false);

  const auto proxy = [&](const std::string& attributes) {
    return WithConditions("<saml2:ProxyRestriction" + attributes + "/>");
  };
  EXPECT_FALSE(Parse(proxy(" Count=\"0\""))->IsDelegable());
  EXPECT_TRUE(Parse(proxy(" Count=\"+1\""))->IsDelegable());
  EXPECT_EQ(RefusalOf(proxy("")), "Node 'ProxyRestriction is missing required attribute 'Count'");
  EXPECT_EQ(RefusalOf(proxy(" Count=\"-1\"")),
            "ProxyRestriction/@Count is not a non-negative integer.");
  EXPECT_EQ(RefusalOf(WithConditions("<saml2:ProxyRestriction Count=\"1\"/>"
                                     "<saml2:ProxyRestriction Count=\"1\"/>")),
            "Unknown or duplicate restriction node under Conditions: ProxyRestriction");

  const auto renew = [&](const std::string& attributes) {
    return WithConditions(
        "<saml2:Condition xmlns:ext=\"urn:tessel:sts:saml:extensions\" "
        "xsi:type=\"ext:RenewRestrictionType\"" +
        attributes + "/>");
  };
  EXPECT_FALSE(Parse(renew(""))->IsRenewable());
  EXPECT_FALSE(Parse(renew(" Count=\"0\""))->IsRenewable());
  EXPECT_TRUE(Parse(renew(" Count=\"3\" Postdatable=\"x\" RenewExpired=\"y\""))->IsRenewable());
  EXPECT_EQ(RefusalOf(renew(" Other=\"1\"")),
            "Unexpected attribute 'Other' on element 'Condition'");
  EXPECT_EQ(RefusalOf(WithConditions("<saml2:Condition xsi:type=\"saml2:Unknown\"/>")),
            "Unknown or duplicate restriction node under Conditions: Condition");
  EXPECT_EQ(RefusalOf(WithConditions(Fragment("delegation.xml") + Fragment("delegation.xml"))),
            "Unknown or duplicate restriction node under Conditions: Condition");
  EXPECT_EQ(
      RefusalOf(WithConditions(ReplaceOnce(Fragment("delegation.xml"), "<del:Delegate ",
                                           "<saml2:Audience>x</saml2:Audience><del:Delegate "))),
      "Expected element 'Delegate' not found.");
}

TEST_F(SamlParserTest, RuntimeErrorsAreNotLibraryErrors) {
  const std::string xml = Default();
  EXPECT_EQ(RefusalOf(xml.substr(0, xml.size() / 2)).rfind("runtime: ", 0), 0u);
  EXPECT_EQ(RefusalOf(ReplaceOnce(xml, tokens_->Client().certDerBase64.substr(0, 8), "!!!!!!!!"))
                .rfind("runtime: ", 0),
            0u);
  EXPECT_EQ(RefusalOf(ReplaceOnce(xml, tokens_->Client().certDerBase64.substr(0, 8), "AAAAAAAA"))
                .rfind("runtime: ", 0),
            0u);
  EXPECT_EQ(
      RefusalOf("<!DOCTYPE x [<!ENTITY e \"e\">]>" + xml.substr(xml.find("<saml2:Assertion"))),
      "runtime: XML document type declarations are not accepted");
}

TEST_F(SamlParserTest, SignatureElementChecks) {
  TokenSpec spec = tokens_->DefaultSpec();
  spec.referenceUri = "#_another";
  EXPECT_EQ(RefusalOf(tokens_->Render(spec)), "Token's signature must cover the entire token");
  spec.referenceUri = "";
  const std::string wholeDocument =
      ReplaceOnce(tokens_->Render(spec), "URI=\"#" + spec.id + "\"", "URI=\"\"");
  EXPECT_EQ(RefusalOf(wholeDocument), "accepted");

  const std::string sha1 = ReplaceOnce(Default(), "http://www.w3.org/2001/04/xmlenc#sha256",
                                       "http://www.w3.org/2000/09/xmldsig#sha1");
  EXPECT_EQ(RefusalOf(sha1).rfind("Signature syntax error: ", 0), 0u) << RefusalOf(sha1);
  // The element after Issuer is taken as the signature, whatever it is.
  const std::string noSignature = ReplaceOnce(Default(), "<ds:Signature ", "<ds:NotASignature ");
  EXPECT_EQ(RefusalOf(ReplaceOnce(noSignature, "</ds:Signature>", "</ds:NotASignature>"))
                .rfind("Signature syntax error: ", 0),
            0u);
}

TEST_F(SamlParserTest, WrappedOrRepeatedAssertionsAreRefused) {
  const std::string xml = Default();
  const std::string assertion = xml.substr(xml.find("<saml2:Assertion"));
  EXPECT_EQ(RefusalOf("<Envelope>" + assertion + "</Envelope>"),
            "Expected element 'Assertion' not found.");
  TokenSpec spec = tokens_->DefaultSpec();
  spec.advice = "<saml2:Advice>" + assertion + "</saml2:Advice>";
  EXPECT_EQ(RefusalOf(tokens_->Render(spec)),
            "Signature syntax error: Duplicate ID '" + spec.id + "'");
  spec.advice = "<saml2:Advice>" + ReplaceOnce(assertion, spec.id, "_other") + "</saml2:Advice>";
  EXPECT_EQ(RefusalOf(tokens_->Render(spec)), "Expected element 'RSAAdvice' not found.");
}

}  // namespace
}  // namespace SsoClient
