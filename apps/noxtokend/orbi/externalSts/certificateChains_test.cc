#include <gtest/gtest.h>

#include <regex>

#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "platform/basalt/xml/testing/xmlsecSigner.h"
#include "platform/configstore/configStoreTestRoot.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {
namespace {

using NoxConfigStore::StringList;
using Container = CertificateChainsContainer;

const std::string kBegin = kPemBeginMarker;
const std::string kEnd = kPemEndMarker;

ChainList Chains(std::vector<std::vector<std::string>> texts) {
  ChainList chains;
  for (auto& chain : texts) chains.push_back(std::make_shared<X509CertChain>(X509CertChain{chain}));
  return chains;
}

// Made once for the suite: key generation is the slow part.
const std::string& Pem(bool rsa) {
  using Basalt::Xml::Testing::KeyType;
  static const Basalt::Xml::Testing::TempDir dir;
  static const std::string texts[] = {GenerateKey(dir, "ec", KeyType::kEcP256).certPemText,
                                      GenerateKey(dir, "rsa", KeyType::kRsa2048).certPemText};
  return texts[rsa];
}
const std::string& RsaPem() { return Pem(true); }
const std::string& EcPem() { return Pem(false); }
std::string Standardized(const std::string& pem) { return pem.substr(0, pem.size() - 1); }

// Each refused text with its chain and its place in the chain.
using Places = std::vector<std::tuple<std::string, int64_t, int64_t>>;
template <class Error>
Places PlacesOf(const std::vector<Error>& errors) {
  Places places;
  for (const auto& e : errors) places.emplace_back(e.cert, e.chain_index, e.cert_index);
  return places;
}

std::string Rewrap(const std::string& body, size_t width, const std::string& newline) {
  std::string out;
  for (size_t i = 0; i < body.size(); i += width) out += body.substr(i, width) + newline;
  return out;
}

TEST(StandardizePemCertificate, AcceptsEveryLayoutOfOneCertificateAndNothingAround) {
  const std::string text = RsaPem();
  const std::string body = std::regex_replace(
      text.substr(kBegin.size(), text.find(kEnd) - kBegin.size()), std::regex("\\s"), "");
  const std::string a64(64, 'A'), joined = std::string(27, 'x') + a64;
  struct Case {
    std::string input, expected;  // expected empty: refused
  } cases[] = {
      {text, Standardized(text)},
      {kBegin + "\r\n" + Rewrap(body, 64, "\r\n") + kEnd + "\r\n", Standardized(text)},
      {"  \t" + kBegin + "\n " + Rewrap(body, 64, "\n\t ") + kEnd, Standardized(text)},
      {kBegin + "\n" + Rewrap(body, 76, "\n") + kEnd, Standardized(text)},
      {kBegin + body + kEnd, Standardized(text)},
      {Rewrap(body, 76, "\n"), Standardized(text)},
      {text + "\n\n \n", Standardized(text)},
      {" \r\n", kBegin + "\n" + kEnd},
      {a64 + a64, kBegin + "\n" + a64 + "\n" + a64 + "\n" + kEnd},
      // Text before the marker: refused when close to it, else taken into the body.
      {"x" + kBegin + "\n" + a64 + "\n" + kEnd, ""},
      {std::string(26, 'x') + kBegin + "\n" + a64 + "\n" + kEnd, ""},
      {" " + std::string(27, 'x') + "\n" + kBegin + "\n" + a64 + "\n" + kEnd,
       kBegin + "\n" + joined.substr(0, 64) + "\n" + joined.substr(64) + "\n" + kEnd},
      {text + "x", ""},
      {text + "\n-", ""},
      {text + kBegin, ""},
      {text + kEnd, ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.input);
    std::string text = c.input;
    EXPECT_EQ(Container::StandardizePemCertificate(kBegin, kEnd, text) ? text : "", c.expected);
  }
}

TEST(StandardizeCertificateChains, ReportsEveryBadTextInChainThenCertificateOrder) {
  const std::string good = RsaPem(), bad = RsaPem() + "tail";
  auto refused =
      Container::StandardizeCertificateChains(Chains({{good, good, bad}, {bad + "2", good}}));
  ASSERT_FALSE(refused);
  EXPECT_EQ(PlacesOf(refused.error()), (Places{{bad, 0, 2}, {bad + "2", 1, 0}}));
  auto standardized = Container::StandardizeCertificateChains(Chains({{good}, {}})).value();
  EXPECT_EQ(standardized[0]->cert_chain, StringList{Standardized(good)});
  EXPECT_TRUE(standardized[1]->cert_chain.empty());
}

TEST(ParseCertificateChains, EachDistinctTextOnceAndEveryRefusalWithItsPlace) {
  const auto certificates =
      Container::ParseCertificateChains(
          Chains({{Standardized(RsaPem()), EcPem(), Standardized(RsaPem())}, {EcPem()}, {}}))
          .value();
  ASSERT_EQ(certificates.size(), 2u);
  EXPECT_EQ(certificates[0]->GetSubjectName(), "CN=rsa");
  EXPECT_EQ(certificates[1]->GetSubjectName(), "CN=ec");

  // Texts already decoded are shared, not decoded again; new ones join the table.
  Container::DecodedCertificates decoded;
  const auto first = Container::ParseCertificateChains(Chains({{EcPem()}}), &decoded).value();
  const auto second =
      Container::ParseCertificateChains(Chains({{RsaPem(), EcPem()}}), &decoded).value();
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[1], first[0]);
  EXPECT_EQ(second[0]->GetSubjectName(), "CN=rsa");
  EXPECT_EQ(decoded.size(), 2u);

  const std::string garbage = kBegin + "\nQUJD\n" + kEnd;
  auto refused = Container::ParseCertificateChains(Chains({{RsaPem(), garbage}, {garbage, "x"}}));
  ASSERT_FALSE(refused);
  // The repeated text is not parsed again.
  EXPECT_EQ(PlacesOf(refused.error()), (Places{{garbage, 0, 1}, {"x", 1, 1}}));
}

TEST(LogCertificateChains, LinesAtLevelFive) {
  std::vector<std::string> lines;
  auto logger = Basalt::Service::Logger::CreateRoot("SecurityTokenIssuers", 5, [&](const auto& r) {
    lines.push_back(std::to_string(r.level) + " " + std::string(r.text));
  });
  Container::LogCertificateChains(*logger, Chains({{"a", "b"}, {"c"}}));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "5 Certificate chain #0 below:", "5 Certificate #0 below:\na",
                       "5 Certificate #1 below:\nb",
                       "5 Certificate chain #1 below:", "5 Certificate #0 below:\nc"}));
}

// The three tables agree about the alias.
void ExpectRegistered(const Container& container, const std::string& alias,
                      const std::string& issuer, size_t certificates) {
  ASSERT_NE(container.FindInfo(alias), nullptr);
  EXPECT_EQ(container.FindInfo(alias)->issuer, issuer);
  ASSERT_NE(container.FindAliasByIssuer(issuer), nullptr);
  EXPECT_EQ(*container.FindAliasByIssuer(issuer), alias);
  ASSERT_NE(container.FindCertificatesByIssuer(issuer), nullptr);
  EXPECT_EQ(container.FindCertificatesByIssuer(issuer)->size(), certificates);
}

// The code of a refused change; kOk when it was made.
Basalt::Status::Code CodeOf(const IssuerChange& outcome) {
  return outcome ? Basalt::Status::Code::kOk : outcome.error().status.code();
}

NoxConfigStore::ConfigStoreObjectId IssuerId(const std::string& alias) {
  return {"trust_security_token_issuers", "authentication", "nox", alias};
}

TEST(CertificateChainsContainerTest, UpdateMovesCertificatesAndFailuresChangeNothing) {
  NoxConfigStore::Testing::TemporaryHostRoot root;
  auto options = root.StoreOptions();
  Container container(NoxConfigStore::ConfigStore::Open(options));
  using Code = Basalt::Status::Code;
  ASSERT_TRUE(container.CreateIssuer("a", "old", Chains({{RsaPem()}, {EcPem()}})));
  EXPECT_TRUE(container.UpdateIssuer("a", "new", std::nullopt));
  ExpectRegistered(container, "a", "new", 2);
  EXPECT_EQ(container.FindCertificatesByIssuer("old"), nullptr);
  EXPECT_EQ(container.FindAliasByIssuer("old"), nullptr);
  EXPECT_EQ(CodeOf(container.UpdateIssuer("missing", "x", std::nullopt)), Code::kNotFound);
  const auto unparsable = container.UpdateIssuer("a", "x", Chains({{"AAAA"}}));
  ASSERT_EQ(CodeOf(unparsable), Code::kInvalidArgument);
  EXPECT_EQ(unparsable.error().parsing.size(), 1u);

  options.readOnly = true;
  Container readOnly(NoxConfigStore::ConfigStore::Open(options));
  EXPECT_EQ(CodeOf(readOnly.CreateIssuer("b", "j", {})), Code::kIOError);
  EXPECT_EQ(CodeOf(readOnly.UpdateIssuer("a", "k", Chains({{EcPem()}}))), Code::kIOError);
  EXPECT_EQ(CodeOf(readOnly.RemoveIssuer("a")), Code::kIOError);
  EXPECT_FALSE(readOnly.HasAlias("b") || readOnly.HasIssuer("j") || readOnly.HasIssuer("k"));
  ExpectRegistered(readOnly, "a", "new", 2);
}

TEST(CertificateChainsContainerTest, LoadKeepsTheFirstOfObjectsThatBreakUniqueness) {
  NoxConfigStore::Testing::TemporaryHostRoot root;
  auto store = NoxConfigStore::ConfigStore::Open(root.StoreOptions());
  auto write = [&](const std::string& instance, const std::string& alias, const std::string& issuer,
                   std::vector<StringList> chains) {
    NoxConfigStore::ConfigStoreObject object(IssuerId(instance));
    object.SetValue("issuer_alias", alias);
    object.SetValue("issuer", issuer);
    object.SetValueEmptyList("signing_cert_chains");
    for (auto& texts : chains) {
      object
          .CreateSubObject(
              NoxConfigStore::SubObjectId("signing_cert_chains", store->GenerateInstanceId()))
          ->SetValue("cert_chain", texts);
    }
    store->WriteObject(object);
  };
  write("a", "a", "i", {{Standardized(EcPem())}, {Standardized(RsaPem())}});
  write("b", "b", "i", {{Standardized(RsaPem())}});  // issuer of a
  write("c", "a", "j", {});                          // alias of a
  write("d", "d", "k", {});

  Container container(store);
  EXPECT_EQ(container.GetInfoByAlias().size(), 2u);
  ExpectRegistered(container, "a", "i", 2);
  ExpectRegistered(container, "d", "k", 0);
  EXPECT_FALSE(container.HasAlias("b") || container.HasIssuer("j"));
  EXPECT_EQ(container.FindInfo("a")->signing_cert_chains[0]->cert_chain,
            StringList{Standardized(EcPem())});

  write("e", "e", "l", {{"not a certificate"}});
  EXPECT_THROW(Container{store}, Basalt::Exception);
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
