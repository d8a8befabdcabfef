#include "platform/basalt/xml/signature.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/basalt/xml/parser.h"
#include "platform/basalt/xml/testing/xmlsecSigner.h"

namespace Basalt::Xml::Security {
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

class SignatureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new Testing::TempDir();
    rsa_ = new TestKey(Testing::GenerateKey(*dir_, "rsa", KeyType::kRsa2048));
    otherRsa_ = new TestKey(Testing::GenerateKey(*dir_, "other-rsa", KeyType::kRsa2048));
    ec_ = new TestKey(Testing::GenerateKey(*dir_, "ec", KeyType::kEcP256));
    ec384_ = new TestKey(Testing::GenerateKey(*dir_, "ec384", KeyType::kEcP384));
  }
  static void TearDownTestSuite() {
    delete rsa_;
    delete otherRsa_;
    delete ec_;
    delete ec384_;
    delete dir_;
  }

  static std::string Sign(const Template& t, const TestKey& key) {
    return Testing::SignWithXmlsec1(*dir_, t.Text(), key, "urn:test:Doc");
  }

  static SignaturePtr Build(const std::string& text) {
    auto handler = CreateXMLDocumentHandler();
    auto reader = CreateStringReader(text);
    CreateXMLParser(handler)->Parse(*reader);
    const Node root = handler->GetDocumentElement();
    return CreateSignatureFromDom(root, root.GetFirstChild());
  }

  static KeyResolverPtr Trust(std::initializer_list<const TestKey*> keys) {
    auto list = std::make_shared<CertificateList>();
    for (const TestKey* key : keys) {
      list->push_back(
          Crypto::CreatePEMCertificate(key->certPemText.data(), key->certPemText.size()));
    }
    return CreateTrustSetKeyResolver(list);
  }

  static Testing::TempDir* dir_;
  static TestKey* rsa_;
  static TestKey* otherRsa_;
  static TestKey* ec_;
  static TestKey* ec384_;
};

Testing::TempDir* SignatureTest::dir_;
TestKey* SignatureTest::rsa_;
TestKey* SignatureTest::otherRsa_;
TestKey* SignatureTest::ec_;
TestKey* SignatureTest::ec384_;

TEST_F(SignatureTest, VerifiesOnlyWithTrustedKeys) {
  const SignaturePtr rsaSigned = Build(Sign(Template{}, *rsa_));
  ASSERT_EQ(rsaSigned->GetReferences().size(), 1u);
  EXPECT_EQ(rsaSigned->GetReferences()[0].uri, "#_doc1");
  EXPECT_EQ(rsaSigned->GetReferences()[0].transforms.size(), 2u);
  EXPECT_TRUE(rsaSigned->Verify(*Trust({rsa_})));
  EXPECT_TRUE(rsaSigned->Verify(*Trust({ec_, otherRsa_, rsa_})));
  EXPECT_FALSE(rsaSigned->Verify(*Trust({otherRsa_})));
  EXPECT_FALSE(rsaSigned->Verify(*Trust({ec_})));
  EXPECT_FALSE(rsaSigned->Verify(*Trust({})));

  Template ecTemplate;
  ecTemplate.method = kEcdsaSha256;
  const SignaturePtr ecSigned = Build(Sign(ecTemplate, *ec_));
  EXPECT_TRUE(ecSigned->Verify(*Trust({ec384_, ec_})));
  EXPECT_FALSE(ecSigned->Verify(*Trust({rsa_})));
}

TEST_F(SignatureTest, DocumentKeyInfoIsNeverUsed) {
  Template t;
  t.keyInfo = "<ds:KeyInfo><ds:X509Data><ds:X509Certificate>" + rsa_->certDerBase64 +
              "</ds:X509Certificate></ds:X509Data></ds:KeyInfo>";
  const SignaturePtr signature = Build(Sign(t, *rsa_));
  EXPECT_FALSE(signature->Verify(*Trust({otherRsa_})));
  EXPECT_TRUE(signature->Verify(*Trust({rsa_})));
}

TEST_F(SignatureTest, TamperedContentFails) {
  std::string text = Sign(Template{}, *rsa_);
  text.replace(text.find("payload"), 7, "paYload");
  EXPECT_FALSE(Build(text)->Verify(*Trust({rsa_})));

  text = Sign(Template{}, *rsa_);
  const size_t value = text.find("<ds:SignatureValue>") + 25;
  text[value] = text[value] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(Build(text)->Verify(*Trust({rsa_})));
}

TEST_F(SignatureTest, RefusesAlgorithmsAndShapesOutsideTheProfile) {
  std::vector<Template> refused(7);
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
  for (const Template& t : refused) {
    EXPECT_THROW(Build(t.Text()), SignatureSyntaxException) << t.Text();
  }
}

TEST_F(SignatureTest, RefusesDuplicateIds) {
  Template t;
  t.body = "<Data ID=\"_doc1\">payload</Data>";
  EXPECT_THROW(Build(t.Text()), SignatureSyntaxException);
  t.body = "<Data xml:id=\"_doc1\">payload</Data>";
  EXPECT_THROW(Build(t.Text()), SignatureSyntaxException);
}

TEST_F(SignatureTest, ReferenceMustResolveToTheSignedElement) {
  Template t;
  t.uri = "#_data";
  t.body = "<Data xml:id=\"_data\">payload</Data>";
  const SignaturePtr signature = Build(Sign(t, *rsa_));
  EXPECT_THROW(signature->Verify(*Trust({rsa_})), XmlSecurityException);
}

TEST_F(SignatureTest, ConcurrentVerificationsAgree) {
  const SignaturePtr signature = Build(Sign(Template{}, *rsa_));
  const KeyResolverPtr trusted = Trust({rsa_});
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
}  // namespace Basalt::Xml::Security
