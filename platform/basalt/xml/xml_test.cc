// The XML parser's DOM and refusals, and XML-Signature verification checked against signatures
// made by the xmlsec1 command.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/basalt/exception.h"
#include "platform/basalt/testing/messageOf.h"
#include "platform/basalt/testing/temporaryHostRoot.h"
#include "platform/basalt/xml/parser.h"
#include "platform/basalt/xml/signature.h"
#include "platform/basalt/xml/testing/xmlsecSigner.h"

namespace Basalt::Xml {
namespace {

Node ParseText(const std::string& text) {
  auto handler = CreateXMLDocumentHandler();
  auto reader = CreateStringReader(text);
  CreateXMLParser(handler)->Parse(*reader);
  return handler->GetDocumentElement();
}

std::string RefusalOf(const std::string& text) {
  return Basalt::Testing::MessageOf([&] { ParseText(text); });
}

Node NextElement(Node node) {
  while (node && !node.IsElement()) node = node.GetNextSibling();
  return node;
}

TEST(XmlParserTest, BuildsNamespaceAwareDom) {
  const Node root = ParseText(
      "<?xml version=\"1.0\"?>\n<a:Root xmlns:a=\"urn:a\" xmlns=\"urn:d\" Plain=\"1\" a:Q=\"2\">"
      "<Child xmlns:b=\"urn:b\">text &amp; more</Child><!-- note --></a:Root>");
  ASSERT_TRUE(root.IsElement());
  EXPECT_EQ(root.GetLocalName(), "Root");
  EXPECT_EQ(root.GetPrefix(), "a");
  EXPECT_EQ(root.LookupNamespace("a"), "urn:a");
  EXPECT_EQ(root.LookupNamespace(""), "urn:d");
  EXPECT_EQ(root.LookupNamespace("zz"), std::nullopt);
  const std::map<std::string, std::string> expected = {
      {"xmlns:a", "urn:a"}, {"xmlns", "urn:d"}, {"Plain", "1"}, {"a:Q", "2"}};
  EXPECT_EQ(root.GetAttributes(), expected);
  EXPECT_EQ(root.GetAttribute("Plain"), "1");
  EXPECT_EQ(root.GetAttribute("Q"), std::nullopt);
  EXPECT_EQ(root.GetAttribute(QName{"urn:a", "Q"}), "2");
  EXPECT_EQ(root.GetAttribute(QName{"", "Plain"}), "1");

  const Node child = root.GetFirstChild();
  EXPECT_EQ(child.GetLocalName(), "Child");
  EXPECT_EQ(child.GetPrefix(), "");
  EXPECT_EQ(child.LookupNamespace(""), "urn:d");
  EXPECT_EQ(child.LookupNamespace("b"), "urn:b");
  EXPECT_EQ(root.LookupNamespace("b"), std::nullopt);
  EXPECT_TRUE(child.GetFirstChild().IsText());
  EXPECT_EQ(child.GetFirstChild().GetText(), "text & more");
  EXPECT_TRUE(child.GetNextSibling().IsComment());
  EXPECT_FALSE(child.GetNextSibling().GetNextSibling());
}

TEST(XmlParserTest, ReportsElementPositionsAndReadsPastOneChunk) {
  const Node root = ParseText("<R>\n  <First/>\n\n    <Second a=\"x\"/></R>");
  const Node first = NextElement(root.GetFirstChild());
  const Node second = NextElement(first.GetNextSibling());
  EXPECT_EQ(root.GetLine(), 1);
  EXPECT_EQ(first.GetLine(), 2);
  EXPECT_EQ(second.GetLine(), 4);
  EXPECT_GT(second.GetColumn(), first.GetColumn());

  const std::string value(20000, 'v');
  EXPECT_EQ(ParseText("<R>" + value + "</R>").GetFirstChild().GetText(), value);
}

// Document types are refused before anything in them is read: no file, no entity expansion.
TEST(XmlParserTest, RefusesMalformedXmlDoctypesAndProcessingInstructions) {
  const Basalt::Testing::TemporaryHostRoot dir;
  std::ofstream(dir.Path() / "secret.txt") << "SECRET";
  for (const char* text : {"", "<a>", "<a></b>", "text", "<a x='1' x='2'/>", "<a/><b/>", "<p:a/>",
                           "<a>&undefined;</a>"}) {
    EXPECT_NE(RefusalOf(text), "no error") << text;
  }
  const std::string doctypes[] = {
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + (dir.Path() / "secret.txt").string() +
          "\">]><r>&x;</r>",
      "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
      "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
      "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
      "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">]>"
      "<lolz>&lol4;</lolz>",
      "<!DOCTYPE r SYSTEM \"http://127.0.0.1:1/x.dtd\"><r/>",
      "<!DOCTYPE r><r/>",
  };
  for (const std::string& text : doctypes) {
    EXPECT_EQ(RefusalOf(text), "XML document type declarations are not accepted") << text;
  }
  for (const char* text : {"<?xml-stylesheet href=\"x\"?><r/>", "<r><?pi data?></r>"}) {
    EXPECT_EQ(RefusalOf(text), "XML processing instructions are not accepted") << text;
  }
  // libxml2 takes time quadratic in a tag's attributes; '=' and '>' in values and text count not.
  auto tag = [](int attributes, const char* value) {
    std::string text = "<r";
    for (int i = 0; i < attributes; ++i) text += " a" + std::to_string(i) + "=" + value;
    return text + ">x=y&gt;</r>";
  };
  EXPECT_EQ(RefusalOf(tag(256, "'=>'")), "no error");
  EXPECT_EQ(RefusalOf(tag(257, "\"1\"")),
            "XML elements of more than 256 attributes are not accepted");
}

}  // namespace

namespace Security {
namespace {

using Testing::KeyType;
using Testing::TestKey;

constexpr char kExcC14n[] = "http://www.w3.org/2001/10/xml-exc-c14n#";
constexpr char kEnveloped[] = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
constexpr char kSha256[] = "http://www.w3.org/2001/04/xmlenc#sha256";
constexpr char kRsaSha256[] = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
constexpr char kEcdsaSha256[] = "http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha256";

struct Template {
  std::string method = kRsaSha256;
  std::string digest = kSha256;
  std::string uri = "#_doc1";
  std::string transforms = std::string("<ds:Transform Algorithm=\"") + kEnveloped +
                           "\"/><ds:Transform Algorithm=\"" + kExcC14n + "\"/>";
  std::string extraReference;
  std::string keyInfo;
  std::string body = "<Data>payload</Data>";

  std::string Text() const {
    return "<Doc xmlns=\"urn:test\" ID=\"_doc1\"><ds:Signature "
           "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
           "<ds:CanonicalizationMethod Algorithm=\"" +
           std::string(kExcC14n) + "\"/><ds:SignatureMethod Algorithm=\"" + method +
           "\"/><ds:Reference URI=\"" + uri + "\"><ds:Transforms>" + transforms +
           "</ds:Transforms><ds:DigestMethod Algorithm=\"" + digest +
           "\"/><ds:DigestValue/></ds:Reference>" + extraReference +
           "</ds:SignedInfo><ds:SignatureValue/>" + keyInfo + "</ds:Signature>" + body + "</Doc>";
  }
};

// Made once for the suite: generating RSA keys takes a moment.
struct Keys {
  Testing::TempDir dir;
  TestKey rsa = Testing::GenerateKey(dir, "rsa", KeyType::kRsa2048);
  TestKey otherRsa = Testing::GenerateKey(dir, "other-rsa", KeyType::kRsa2048);
  TestKey ec = Testing::GenerateKey(dir, "ec", KeyType::kEcP256);
  TestKey ec384 = Testing::GenerateKey(dir, "ec384", KeyType::kEcP384);
};

const Keys& TheKeys() {
  static const Keys keys;
  return keys;
}

std::string Sign(const Template& t, const TestKey& key) {
  return Testing::SignWithXmlsec1(TheKeys().dir, t.Text(), key, "urn:test:Doc");
}

SignaturePtr Build(const std::string& text) {
  const Node root = ParseText(text);
  return CreateSignatureFromDom(root, root.GetFirstChild());
}

KeyResolverPtr Trust(std::initializer_list<const TestKey*> keys) {
  auto list = std::make_shared<CertificateList>();
  for (const TestKey* key : keys) {
    list->push_back(Crypto::CreatePEMCertificate(key->certPemText.data(), key->certPemText.size()));
  }
  return CreateTrustSetKeyResolver(list);
}

TEST(SignatureTest, VerifiesUntamperedSignedElementWithTrustedKeysOnly) {
  const Keys& k = TheKeys();
  Template rsaTemplate;  // the key named in the document is never the one trusted
  rsaTemplate.keyInfo = "<ds:KeyInfo><ds:X509Data><ds:X509Certificate>" + k.rsa.certDerBase64 +
                        "</ds:X509Certificate></ds:X509Data></ds:KeyInfo>";
  const std::string rsaText = Sign(rsaTemplate, k.rsa);
  const SignaturePtr rsaSigned = Build(rsaText);
  ASSERT_EQ(rsaSigned->GetReferences().size(), 1u);
  EXPECT_EQ(rsaSigned->GetReferences()[0].uri, "#_doc1");
  EXPECT_EQ(rsaSigned->GetReferences()[0].transforms.size(), 2u);
  EXPECT_TRUE(rsaSigned->Verify(*Trust({&k.rsa})));
  EXPECT_TRUE(rsaSigned->Verify(*Trust({&k.ec, &k.otherRsa, &k.rsa})));
  EXPECT_FALSE(rsaSigned->Verify(*Trust({&k.otherRsa})));
  EXPECT_FALSE(rsaSigned->Verify(*Trust({&k.ec})));
  EXPECT_FALSE(rsaSigned->Verify(*Trust({})));

  Template ecTemplate;
  ecTemplate.method = kEcdsaSha256;
  const SignaturePtr ecSigned = Build(Sign(ecTemplate, k.ec));
  EXPECT_TRUE(ecSigned->Verify(*Trust({&k.ec384, &k.ec})));
  EXPECT_FALSE(ecSigned->Verify(*Trust({&k.rsa})));

  std::string tampered = rsaText;
  tampered.replace(tampered.find("payload"), 7, "paYload");
  EXPECT_FALSE(Build(tampered)->Verify(*Trust({&k.rsa})));
  tampered = rsaText;
  const size_t value = tampered.find("<ds:SignatureValue>") + 25;
  tampered[value] = tampered[value] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(Build(tampered)->Verify(*Trust({&k.rsa})));

  // Signed by a trusted key, but the reference names another element than the signed one.
  Template elsewhere;
  elsewhere.uri = "#_data";
  elsewhere.body = "<Data xml:id=\"_data\">payload</Data>";
  const SignaturePtr elsewhereSigned = Build(Sign(elsewhere, k.rsa));
  EXPECT_THROW(elsewhereSigned->Verify(*Trust({&k.rsa})), XmlSecurityException);
}

TEST(SignatureTest, RefusesAlgorithmsShapesAndIdsOutsideTheProfile) {
  std::vector<Template> refused(9);
  refused[0].digest = "http://www.w3.org/2000/09/xmldsig#sha1";
  refused[1].method = "http://www.w3.org/2000/09/xmldsig#rsa-sha1";
  refused[2].transforms +=
      "<ds:Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xpath-19991116\">"
      "<ds:XPath>1</ds:XPath></ds:Transform>";
  refused[3].transforms = "<ds:Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#base64\"/>";
  refused[4].extraReference = "<ds:Reference URI=\"\"><ds:DigestMethod Algorithm=\"" +
                              std::string(kSha256) + "\"/><ds:DigestValue/></ds:Reference>";
  refused[5].uri = "http://127.0.0.1:1/doc.xml";
  refused[6].uri = "#xpointer(/)";
  refused[7].body = "<Data ID=\"_doc1\">payload</Data>";
  refused[8].body = "<Data xml:id=\"_doc1\">payload</Data>";
  for (const Template& t : refused) {
    EXPECT_THROW(Build(t.Text()), SignatureSyntaxException) << t.Text();
  }
}

TEST(SignatureTest, ConcurrentVerificationsAgree) {
  const SignaturePtr signature = Build(Sign(Template{}, TheKeys().rsa));
  const KeyResolverPtr trusted = Trust({&TheKeys().rsa});
  std::atomic<int> verified{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) verified += signature->Verify(*trusted) ? 1 : 0;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(verified.load(), 80);
}

}  // namespace
}  // namespace Security
}  // namespace Basalt::Xml
