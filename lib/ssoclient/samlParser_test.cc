#include "lib/ssoclient/samlParser.h"

#include <gtest/gtest.h>

#include "lib/ssoclient/createVerifiedSamlToken.h"
#include "lib/ssoclient/samlTokenImpl.h"
#include "lib/ssoclient/ssoExceptions.h"
#include "lib/ssoclient/testing/suiteTokensTest.h"
#include "lib/ssoclient/verifiedSamlTokenCache.h"

namespace SsoClient {
namespace {

using Basalt::System::DateTime;
using Testing::Fragment;
using Testing::ReplaceOnce;
using Testing::TestKey;
using Testing::TokenSpec;

const std::string kGroups = "urn:tessel:sts:attributes:groupIdentity";
const std::string kIsSolution = "urn:tessel:sts:attributes:isSolution";
const std::string kGivenName = "http://schemas.xmlsoap.org/ws/2005/05/identity/claims/givenname";
// The last delegate of testdata/delegation.xml, as a SubjectConfirmation names it.
const std::string kDelegateId =
    "<saml2:NameID Format=\"http://schemas.xmlsoap.org/claims/UPN\">svc-last@EXAMPLE.TEST"
    "</saml2:NameID>";

const Basalt::System::UtcClock kClock =
    Basalt::System::FixedUtcClock(DateTime("2030-01-01T10:30:00Z"));

std::shared_ptr<SamlTokenImpl> Parse(const std::string& xml) {
  return std::make_shared<SamlTokenImpl>(xml, 600, kClock);
}

// The ParseException message, "accepted", or "runtime: " and a Basalt::Exception's message; any
// other library error fails the test.
std::string RefusalOf(const std::string& xml) {
  try {
    Parse(xml);
  } catch (const ParseException& e) {
    return e.GetMessage();
  } catch (const Basalt::Exception& e) {
    return "runtime: " + e.GetMessage();
  }
  return "accepted";
}

// `text` without the first element that starts with `open` and ends with `close`.
std::string Without(const std::string& text, const std::string& open, const std::string& close) {
  const size_t from = text.find(open);
  return text.substr(0, from) + text.substr(text.find(close, from) + close.size());
}

class SamlParserTest : public Testing::SuiteTokensTest {
 protected:
  static std::string Render(const std::function<void(TokenSpec&)>& edit) {
    TokenSpec spec = Tokens().DefaultSpec();
    edit(spec);
    return Tokens().Render(spec);
  }
  static std::string Conditions(const std::string& conditions) {
    return Render([&](TokenSpec& spec) { spec.conditions = conditions; });
  }
  static std::string Attribute(const std::string& name, const std::string& values) {
    return Render([&](TokenSpec& spec) {
      spec.attributeStatement = "<saml2:AttributeStatement><saml2:Attribute Name=\"" + name +
                                "\" NameFormat=\"uri\">" + values +
                                "</saml2:Attribute></saml2:AttributeStatement>";
    });
  }
  static std::string Values(std::initializer_list<const char*> values) {
    std::string out;
    for (const char* value : values)
      out += "<saml2:AttributeValue>" + std::string(value) + "</saml2:AttributeValue>";
    return out;
  }
};

TEST_F(SamlParserTest, HolderOfKeyTokenModel) {
  const std::string xml = Tokens().Render(Tokens().DefaultSpec());
  const auto token = Parse(xml);
  EXPECT_EQ(token->GetId(), "_5e1f3c7a-90b2-4d4e-8a61-token");
  EXPECT_EQ(token->GetIssuer(), "https://sts.example.test/issuer");
  EXPECT_EQ(token->GetStartTime(), DateTime("2030-01-01T10:00:00Z"));
  EXPECT_EQ(token->GetExpirationTime(), DateTime("2030-01-01T11:00:00Z"));
  EXPECT_EQ(token->GetSubject().ToString(), "{Name: ada; Domain:EXAMPLE.TEST}");
  EXPECT_EQ(token->GetConfirmationType(), CONFIRMATION_HOLDER_OF_KEY);
  ASSERT_TRUE(token->GetConfirmationCertificate());
  EXPECT_EQ(token->GetConfirmationCertificate()->GetDer(),
            Tokens().Certificate(Tokens().Client())->GetDer());
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
  EXPECT_EQ(token->GetSignature()->GetReferences().at(0).uri, "#" + token->GetId());
}

TEST_F(SamlParserTest, BearerTokenWithAdviceAndDelegation) {
  const auto token = Parse(Render([](TokenSpec& spec) {
    spec.holderOfKey = false;
    spec.advice = Fragment("advice.xml");
    spec.conditions = Fragment("delegation.xml");
    spec.attributeStatement = "";
    spec.delegateId = kDelegateId;
  }));
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
  EXPECT_EQ(chain[1].delegationInstant, Tokens().DefaultSpec().issueInstant);
  const auto advice = token->GetAdvice();
  ASSERT_EQ(advice.size(), 1u);
  EXPECT_EQ(advice[0].source, "urn:tessel:advice:source");
  ASSERT_EQ(advice[0].attributes.size(), 1u);
  EXPECT_EQ(advice[0].attributes[0].name, "urn:tessel:advice:role");
  EXPECT_EQ(advice[0].attributes[0].values, (std::vector<std::string>{"reader", "writer"}));
}

TEST_F(SamlParserTest, ValuesReadFromTheDocument) {
  const std::string xml = Tokens().Render(Tokens().DefaultSpec());
  // Text is taken untrimmed; a UPN splits at its last '@'; a group at its first backslash.
  EXPECT_EQ(Parse(ReplaceOnce(xml, ">ada@EXAMPLE.TEST<", "> a@b@EXAMPLE.TEST\n<"))->GetSubject(),
            (PrincipalId{" a@b", "EXAMPLE.TEST\n"}));
  EXPECT_EQ(Parse(Attribute(kGroups, Values({"D\\g\\h"})))->GetGroups(),
            (std::vector<PrincipalId>{{"g\\h", "D"}}));
  EXPECT_TRUE(Parse(Attribute(kIsSolution, Values({"tRuE"})))->IsSolution());
  EXPECT_FALSE(Parse(Attribute(kIsSolution, Values({"yes"})))->IsSolution());
  EXPECT_EQ(Parse(Attribute(kGivenName, ""))->GetPersonName().givenName, "");
  EXPECT_EQ(Parse(Attribute(kGivenName, Values({"A", "B"})))->GetPersonName().givenName, "A");
  // A later attribute of the same name wins; unknown names are ignored.
  const std::string twice = ReplaceOnce(
      ReplaceOnce(xml, ">Ada<", ">First<"), "</saml2:AttributeStatement>",
      "<saml2:Attribute Name=\"" + kGivenName + "\" NameFormat=\"u\">" + Values({"Second"}) +
          "</saml2:Attribute><saml2:Attribute Name=\"urn:unknown\" NameFormat=\"u\"/>"
          "</saml2:AttributeStatement>");
  EXPECT_EQ(Parse(twice)->GetPersonName().givenName, "Second");

  const std::string audience =
      "<saml2:AudienceRestriction><saml2:Audience>a</saml2:Audience>"
      "<saml2:Audience>a</saml2:Audience></saml2:AudienceRestriction>";
  EXPECT_EQ(Parse(Conditions(audience))->GetAudience(), (std::set<std::string>{"a"}));
  EXPECT_FALSE(Parse(Conditions(""))->IsDelegable());
  for (const auto& [count, delegable] :
       {std::pair{"0", false}, {"-0", false}, {"+1", true}, {"007", true}}) {
    EXPECT_EQ(Parse(Conditions("<saml2:ProxyRestriction Count=\"" + std::string(count) + "\"/>"))
                  ->IsDelegable(),
              delegable)
        << count;
  }
  const std::string renew =
      "<saml2:Condition xmlns:ext=\"urn:tessel:sts:saml:extensions\" "
      "xsi:type=\"ext:RenewRestrictionType\"";
  EXPECT_FALSE(Parse(Conditions(renew + "/>"))->IsRenewable());
  EXPECT_FALSE(Parse(Conditions(renew + " Count=\"0\"/>"))->IsRenewable());
  EXPECT_TRUE(Parse(Conditions(renew + " Count=\"3\" Postdatable=\"x\" RenewExpired=\"y\"/>"))
                  ->IsRenewable());

  // A holder-of-key confirmation's NotOnOrAfter is read when asked for: a token whose value is
  // no date still parses. A bearer's is checked when parsing and not offered.
  const auto confirmationExpiry = [](const std::string& document) -> std::string {
    const auto token = Parse(document);
    try {
      const auto time = token->GetConfirmationExpirationTime();
      return time ? time->ToString() : "unset";
    } catch (const ParseException& e) {
      return e.GetMessage();
    }
  };
  for (const auto& [document, expiry] : std::vector<std::pair<std::string, std::string>>{
           {xml, "unset"},
           {Render([](TokenSpec& spec) { spec.holderOfKey = false; }), "unset"},
           {ConfirmedUntil("2030-01-01T12:59:59+02:00"), "2030-01-01T10:59:59Z"},
           {ConfirmedUntil("2020-01-01T00:00:00Z"), "2020-01-01T00:00:00Z"},
           {ConfirmedUntil("soon"), "SubjectConfirmationData/@NotOnOrAfter is not a date"},
           {ConfirmedUntil(""), "SubjectConfirmationData/@NotOnOrAfter is not a date"},
       }) {
    EXPECT_EQ(confirmationExpiry(document), expiry);
  }
}

// Each rule the parser and the checks after it hold a document to, as an edit of the default
// holder-of-key document and the refusal it meets; "accepted" for edits that must pass. An
// expected text ending in '*' is a prefix.
TEST_F(SamlParserTest, Refusals) {
  const std::string xml = Tokens().Render(Tokens().DefaultSpec());
  const std::string id = Tokens().DefaultSpec().id;
  const std::string assertion = xml.substr(xml.find("<saml2:Assertion"));
  const auto edit = [&](const std::string& from, const std::string& to) {
    return ReplaceOnce(xml, from, to);
  };
  // An element after the last child `tag` allows.
  const auto after = [&](const std::string& tag) {
    return edit("</" + tag + ">", "</" + tag + "><x/>");
  };
  const auto delegatedTo = [&](const std::string& nameId) {
    return Render([&](TokenSpec& spec) {
      spec.conditions = Fragment("delegation.xml");
      spec.delegateId = nameId;
    });
  };
  const std::string delegation = Fragment("delegation.xml");
  const std::string audience =
      "<saml2:AudienceRestriction><saml2:Audience>a</saml2:Audience></saml2:AudienceRestriction>";
  const std::string textOnly =
      "Element 'NameID' must only have textual content (but has extra children or is empty).";
  const std::string unknownCondition = "Unknown or duplicate restriction node under Conditions";
  const std::string notDelegate =
      "The SubjectConfirmation delegate id does not match the id of "
      "the last delegate";
  std::vector<std::pair<std::string, std::string>> cases = {
      // Element order and presence.
      {after("saml2:AttributeStatement"), "Unexpected elements under Assertion"},
      {edit("<saml2:AttributeStatement>", "<saml2:Other/><saml2:AttributeStatement>"),
       "Expected element 'AttributeStatement' not found."},
      {Without(xml, "<saml2:AuthnStatement", "</saml2:AuthnStatement>"),
       "Expected element 'AuthnStatement' not found."},
      {Without(xml, "<saml2:Conditions", "</saml2:Conditions>"),
       "Expected element 'Conditions' not found."},
      {edit("<saml2:Issuer ", "<saml2:Issuer xmlns:saml2=\"urn:other\" "),
       "Element 'Issuer' has unexpected namespace"},
      {xml.substr(0, xml.find("<ds:Signature")) + "</saml2:Assertion>",
       "Expected element ds:Signature not found"},
      {after("saml2:SubjectConfirmation"), "Unexpected elements after SubjectConfirmation"},
      {after("ds:X509Certificate"), "Unexpected elements after X509Certificate"},
      {after("ds:X509Data"), "Unexpected elements after X509Data"},
      {after("ds:KeyInfo"), "Unexpected elements after SubjectConfirmationData/KeyInfo"},
      {after("saml2:AuthnContext"), "Unexpected elements after AuthnContext"},
      {after("saml2:AuthnContextClassRef"), "Unexpected elements after AuthnContextClassRef"},
      {edit("<saml2:Issuer", "<!-- c -->\n <saml2:Issuer"), "accepted"},
      {"<Envelope>" + assertion + "</Envelope>", "Expected element 'Assertion' not found."},
      // Attributes.
      {edit(" Version=\"2.0\"", ""), "Node 'Assertion is missing required attribute 'Version'"},
      {edit(" Version=\"2.0\"", " Version=\"2.00\""), "Invalid token version"},
      {edit("<saml2:Subject>", "<saml2:Subject Extra=\"1\">"),
       "Unexpected attributes on element 'Subject'"},
      {edit("<saml2:Subject>", "<saml2:Subject xmlns:any=\"urn:any\" xmlns=\"urn:d\">"),
       "accepted"},
      {edit(" Format=\"urn:oasis:names:tc:SAML:2.0:nameid-format:entity\"", ""),
       "Node 'Issuer is missing required attribute 'Format'"},
      {edit("NotBefore=\"2030-01-01T10:00:00Z\"", "NotBefore=\"yesterday\""),
       "Conditions/@NotBefore is not a date"},
      {edit("<saml2:SubjectConfirmationData ", "<saml2:SubjectConfirmationData xsi:nil=\"true\" "),
       "Unexpected attribute 'http://www.w3.org/2001/XMLSchema-instance:nil' on element "
       "'SubjectConfirmationData'"},
      {edit(" xsi:type=\"saml2:KeyInfoConfirmationDataType\"", ""),
       "Node 'SubjectConfirmationData is missing required attribute "
       "'http://www.w3.org/2001/XMLSchema-instance:type'"},
      {edit("saml2:KeyInfoConfirmationDataType", "saml2:Other"),
       "Invalid SubjectConfirmationData type: 'saml2:Other'"},
      {edit("saml2:KeyInfoConfirmationDataType", "nope:KeyInfoConfirmationDataType"),
       "Element SubjectConfirmationDataat *"},
      {edit("xsi:type=\"saml2:KeyInfoConfirmationDataType\"",
            "xmlns=\"urn:oasis:names:tc:SAML:2.0:assertion\" "
            "xsi:type=\"KeyInfoConfirmationDataType\""),
       "accepted"},
      {edit("urn:oasis:names:tc:SAML:2.0:cm:holder-of-key", "urn:x"),
       "Unknown subject confirmation method: 'urn:x'"},
      {edit("FriendlyName=\"Groups\" ", ""), "accepted"},
      {edit("FriendlyName=\"Groups\" ", "Other=\"x\" "),
       "Unexpected attributes on element 'Attribute'"},
      // Text content.
      {edit(">ada@EXAMPLE.TEST<", "> \n\t <"), textOnly},
      {edit(">ada@EXAMPLE.TEST<", ">ada<!-- -->@EXAMPLE.TEST<"), textOnly},
      {ReplaceOnce(Render([](TokenSpec& spec) { spec.holderOfKey = false; }),
                   "\"/>\n    </saml2:SubjectConfirmation>",
                   "\">x</saml2:SubjectConfirmationData></saml2:SubjectConfirmation>"),
       "Element 'SubjectConfirmationData' must be empty"},
      // Subjects and attribute values.
      {edit("Format=\"http://schemas.xmlsoap.org/claims/UPN\"", "Format=\"urn:unspecified\""),
       "Invalid or unsupported NameId format 'urn:unspecified'"},
      {Attribute(kIsSolution, ""), "No value found for attribute isSolution."},
      {Attribute(kIsSolution, Values({"true", "true"})),
       "More than one value found for attribute isSolution."},
      // Conditions.
      {Conditions(audience + audience), unknownCondition + ": AudienceRestriction"},
      {Conditions("<saml2:OneTimeUse/>"), unknownCondition + ": OneTimeUse"},
      {Conditions("text"), unknownCondition},
      {Conditions("<saml2:ProxyRestriction/>"),
       "Node 'ProxyRestriction is missing required attribute 'Count'"},
      {Conditions("<saml2:ProxyRestriction Count=\"9223372036854775807\"/>"), "accepted"},
      {Conditions("<saml2:ProxyRestriction Count=\"1\"/><saml2:ProxyRestriction Count=\"1\"/>"),
       unknownCondition + ": ProxyRestriction"},
      {Conditions("<saml2:Condition xmlns:ext=\"urn:tessel:sts:saml:extensions\" "
                  "xsi:type=\"ext:RenewRestrictionType\" Other=\"1\"/>"),
       "Unexpected attribute 'Other' on element 'Condition'"},
      {Conditions("<saml2:Condition xsi:type=\"saml2:Unknown\"/>"),
       unknownCondition + ": Condition"},
      {Conditions(delegation + delegation), unknownCondition + ": Condition"},
      {Conditions(ReplaceOnce(delegation, "<del:Delegate ", "<saml2:Audience/><del:Delegate ")),
       "Expected element 'Delegate' not found."},
      // Delegation, validity and the subject's validity.
      {Conditions(delegation),
       "Token has delegation restriction, but no delegate id is present "
       "in the SubjectConfirmation"},
      {Render([&](TokenSpec& spec) { spec.delegateId = kDelegateId; }),
       "Token SubjectConfirmation contains delegate id, but no delegation restriction is present"},
      {delegatedTo(ReplaceOnce(kDelegateId, "svc-last", "svc-first")), notDelegate},
      {delegatedTo(ReplaceOnce(kDelegateId, "claims/UPN", "claims/upn")), notDelegate},
      {Render([](TokenSpec& spec) { spec.notOnOrAfter = spec.notBefore; }),
       "Unsatisfiable token validity conditions: NotBefore must be less than NotOnOrAfter."},
      {Render([](TokenSpec& spec) { spec.notOnOrAfter = DateTime("2030-01-01T10:20:00Z"); }),
       "The token has expired at: 2030-01-01T10:20:00Z"},
      {Render([](TokenSpec& spec) { spec.notOnOrAfter = DateTime("2030-01-01T10:20:01Z"); }),
       "accepted"},
      {Render([](TokenSpec& spec) { spec.notBefore = DateTime("2030-01-01T10:40:00Z"); }),
       "accepted"},
      {Render([](TokenSpec& spec) { spec.notBefore = DateTime("2030-01-01T10:40:01Z"); }),
       "Token start date is in the future: 2030-01-01T10:40:01Z"},
      {Render([](TokenSpec& spec) {
         spec.holderOfKey = false;
         spec.confirmationNotOnOrAfter = "2030-01-01T10:59:59Z";
       }),
       "Invalid token subject validity"},
      // Identity and signature.
      {Render([](TokenSpec& spec) { spec.id = "x-id"; }), "Invalid token ID"},
      {Render([](TokenSpec& spec) { spec.id = ""; }), "Invalid token ID"},
      {ReplaceOnce(Render([](TokenSpec& spec) { spec.id = ""; }), "URI=\"#\"", "URI=\"\""),
       "Invalid token ID"},
      {Render([](TokenSpec& spec) { spec.referenceUri = "#_another"; }),
       "Token's signature must cover the entire token"},
      {edit("http://www.w3.org/2001/04/xmlenc#sha256", "http://www.w3.org/2000/09/xmldsig#sha1"),
       "Signature syntax error: *"},
      // The element after Issuer is taken as the signature, whatever it is.
      {ReplaceOnce(edit("<ds:Signature ", "<ds:NotASignature "), "</ds:Signature>",
                   "</ds:NotASignature>"),
       "Signature syntax error: *"},
      {Render([&](TokenSpec& spec) {
         spec.advice = "<saml2:Advice>" + assertion + "</saml2:Advice>";
       }),
       "Signature syntax error: Duplicate ID '" + id + "'"},
      {Render([&](TokenSpec& spec) {
         spec.advice = "<saml2:Advice>" + ReplaceOnce(assertion, id, "_other") + "</saml2:Advice>";
       }),
       "Expected element 'RSAAdvice' not found."},
      // Failures of the runtime below are not the library's refusals.
      {xml.substr(0, xml.size() / 2), "runtime: *"},
      {edit(Tokens().Client().certDerBase64.substr(0, 8), "!!!!!!!!"), "runtime: *"},
      {edit(Tokens().Client().certDerBase64.substr(0, 8), "AAAAAAAA"), "runtime: *"},
      {"<!DOCTYPE x [<!ENTITY e \"e\">]>" + assertion,
       "runtime: XML document type declarations are not accepted"},
  };
  // Subjects and groups missing a part; ProxyRestriction counts beyond a non-negative int64.
  for (const std::string subject : {"@EXAMPLE.TEST", "ada@", "ada"}) {
    cases.emplace_back(
        Render([&](TokenSpec& spec) { spec.subject = subject; }),
        "Failed to parse the UPN NameID: `" + subject + "'; name or domain part is missing.");
  }
  for (const std::string group : {"\\group", "domain\\", "nobackslash"}) {
    cases.emplace_back(
        Attribute(kGroups, Values({group.c_str()})),
        "Failed to parse Group Identity value: `" + group + "'; domain or group missing");
  }
  for (const std::string count : {"9223372036854775808", "-1", "+", "1 "}) {
    cases.emplace_back(Conditions("<saml2:ProxyRestriction Count=\"" + count + "\"/>"),
                       "ProxyRestriction/@Count is not a non-negative integer.");
  }
  for (const auto& [text, expected] : cases) {
    const std::string refusal = RefusalOf(text);
    if (expected.back() == '*') {
      EXPECT_EQ(refusal.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1))
          << text;
    } else {
      EXPECT_EQ(refusal, expected) << text;
    }
  }
}

class CreateVerifiedSamlTokenTest : public Testing::SuiteTokensTest {
 protected:
  // Through a cache of decoded certificates, as the daemon verifies: every refusal must hold with
  // certificates met before.
  std::shared_ptr<const SamlToken> Create(const std::string& xml,
                                          std::initializer_list<const TestKey*> trusted) {
    CertificateList list;
    for (const TestKey* key : trusted) list.push_back(Tokens().Certificate(*key));
    const CertificateProvider provider = [this, list](const SamlToken* token) {
      askedFor_.push_back(token->GetIssuer());
      return std::make_unique<UnguardedCertificateList>(list);
    };
    return CreateVerifiedSamlToken(xml, provider, kClock, &decoded_);
  }
  std::string RefusalOf(const std::string& xml, std::initializer_list<const TestKey*> trusted) {
    try {
      Create(xml, trusted);
    } catch (const InvalidSignatureException& e) {
      return "signature: " + e.GetMessage();
    } catch (const Basalt::Exception& e) {
      return e.GetMessage();
    }
    return "accepted";
  }

  Basalt::Crypto::CertificateCache decoded_;
  std::vector<std::string> askedFor_;
};

TEST_F(CreateVerifiedSamlTokenTest, AcceptsTokensSignedByATrustedIssuer) {
  const auto token = Create(DefaultSigned(), {&Tokens().Untrusted(), &Tokens().IssuerRsa()});
  EXPECT_EQ(token->GetSubject(), (PrincipalId{"ada", "EXAMPLE.TEST"}));
  EXPECT_EQ(token->GetXml(), DefaultSigned());
  EXPECT_EQ(askedFor_, std::vector<std::string>{"https://sts.example.test/issuer"});
  // The cache hands out the certificate it decoded before.
  EXPECT_EQ(Create(DefaultSigned(), {&Tokens().IssuerRsa()})->GetConfirmationCertificate(),
            token->GetConfirmationCertificate());

  Testing::TokenSpec ec = Tokens().DefaultSpec();
  ec.signatureMethod = Testing::kEcdsaSha256;
  EXPECT_EQ(RefusalOf(Tokens().Signed(ec, Tokens().IssuerEc()), {&Tokens().IssuerEc()}),
            "accepted");
  // A reference to the whole document covers the token too.
  const std::string whole = ReplaceOnce(Tokens().Render(Tokens().DefaultSpec()),
                                        "URI=\"#" + Tokens().DefaultSpec().id + "\"", "URI=\"\"");
  EXPECT_EQ(RefusalOf(Tokens().Sign(whole, Tokens().IssuerRsa()), {&Tokens().IssuerRsa()}),
            "accepted");
}

TEST_F(CreateVerifiedSamlTokenTest, RefusesOtherKeysAndTamperedText) {
  const std::string tampered =
      "signature: Failed to verify signature: token might have been tampered with.";
  const TestKey* rsa = &Tokens().IssuerRsa();
  EXPECT_EQ(RefusalOf(DefaultSigned(), {&Tokens().Untrusted(), &Tokens().IssuerEc()}), tampered);
  EXPECT_EQ(RefusalOf(DefaultSigned(), {}), tampered);
  // The confirmation certificate inside the token is never a signing key.
  EXPECT_EQ(RefusalOf(DefaultSigned(), {&Tokens().Client()}), tampered);
  EXPECT_EQ(RefusalOf(ReplaceOnce(DefaultSigned(), ">ada@", ">adb@"), {rsa}), tampered);
  EXPECT_EQ(RefusalOf(ReplaceOnce(DefaultSigned(), "\\Everyone", "\\Everyonf"), {rsa}), tampered);
  // Whitespace inside a tag is canonicalized away, so only content counts.
  EXPECT_EQ(RefusalOf(ReplaceOnce(DefaultSigned(), "<saml2:Subject>", "<saml2:Subject >"), {rsa}),
            "accepted");
}

TEST_F(CreateVerifiedSamlTokenTest, ChecksTheTokenBeforeAskingForCertificates) {
  Testing::TokenSpec expired = Tokens().DefaultSpec();
  expired.notBefore = DateTime("2020-01-01T10:00:00Z");
  expired.notOnOrAfter = DateTime("2020-01-01T11:00:00Z");
  EXPECT_EQ(RefusalOf(Tokens().Signed(expired, Tokens().IssuerRsa()), {&Tokens().IssuerRsa()}),
            "The token has expired at: 2020-01-01T11:00:00Z");
  Testing::TokenSpec huge = Tokens().DefaultSpec();
  huge.subject = std::string(10'000'000, 'a') + "@EXAMPLE.TEST";
  EXPECT_EQ(RefusalOf(Tokens().Signed(huge, Tokens().IssuerRsa()), {&Tokens().IssuerRsa()}),
            "XML text of more than 10000000 bytes is not accepted");
  EXPECT_TRUE(askedFor_.empty());
}

TEST_F(CreateVerifiedSamlTokenTest, CopiesTheListBeforeReleasingItsHolder) {
  // A holder whose release lets a writer empty the list: verification must use the copy.
  class ClearedOnRelease final : public HeldCertificateList {
   public:
    explicit ClearedOnRelease(CertificateList& list) : list_(list) {}
    ~ClearedOnRelease() override { list_.clear(); }
    const CertificateList& GetList() const override { return list_; }

   private:
    CertificateList& list_;
  };
  CertificateList trusted{Tokens().Certificate(Tokens().IssuerRsa())};
  const CertificateProvider provider = [&trusted](const SamlToken*) {
    return std::make_unique<ClearedOnRelease>(trusted);
  };
  EXPECT_NO_THROW(CreateVerifiedSamlToken(DefaultSigned(), provider, kClock));
  EXPECT_TRUE(trusted.empty());
}

TEST_F(CreateVerifiedSamlTokenTest, GivesBackARememberedTokenOnlyWhileItsTrustAndWindowHold) {
  VerifiedSamlTokenCache remembered(1);
  DateTime now("2030-01-01T10:30:00Z");
  const Basalt::System::UtcClock clock = [&now] { return now; };
  CertificateList trusted{Tokens().Certificate(Tokens().IssuerRsa())};
  const CertificateProvider provider = [&trusted](const SamlToken*) {
    return std::make_unique<UnguardedCertificateList>(trusted);
  };
  const auto create = [&](const std::string& xml) {
    return CreateVerifiedSamlToken(xml, provider, clock, nullptr, &remembered);
  };
  const auto first = create(DefaultSigned());
  EXPECT_EQ(create(DefaultSigned()), first);  // the same object: neither parsed nor verified
  now = DateTime("2030-01-01T11:09:59Z");     // inside the tolerance after NotOnOrAfter
  EXPECT_EQ(create(DefaultSigned()), first);
  now = DateTime("2030-01-01T11:10:00Z");
  try {
    create(DefaultSigned());
    ADD_FAILURE() << "an expired token was given back";
  } catch (const ParseException& e) {
    EXPECT_EQ(e.GetMessage(), "The token has expired at: 2030-01-01T11:00:00Z");
  }
  now = DateTime("2030-01-01T10:30:00Z");
  // A list that changed takes every check.
  trusted = {Tokens().Certificate(Tokens().Untrusted())};
  EXPECT_THROW(create(DefaultSigned()), InvalidSignatureException);
  trusted = {Tokens().Certificate(Tokens().IssuerRsa())};
  const auto again = create(DefaultSigned());
  EXPECT_NE(again, first);
  // One entry: a second token replaces the first.
  Testing::TokenSpec other = Tokens().DefaultSpec();
  other.id = "_other";
  const std::string otherXml = Tokens().Signed(other, Tokens().IssuerRsa());
  const auto second = create(otherXml);
  EXPECT_EQ(create(otherXml), second);
  EXPECT_NE(create(DefaultSigned()), again);
  EXPECT_EQ(remembered.Size(), 1u);
}

}  // namespace
}  // namespace SsoClient
