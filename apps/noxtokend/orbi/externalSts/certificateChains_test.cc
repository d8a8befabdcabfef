#include <gtest/gtest.h>

#include <regex>

#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "apps/noxtokend/orbi/externalSts/testCertificates.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {
namespace {

using Testing::KeyType;
using Testing::MakeCertificatePem;

const std::string kBegin = kPemBeginMarker;
const std::string kEnd = kPemEndMarker;

ChainList Chains(std::vector<std::vector<std::string>> texts) {
  ChainList chains;
  for (auto& chain : texts) chains.push_back(std::make_shared<X509CertChain>(X509CertChain{chain}));
  return chains;
}

struct Pem {
  std::string text;  // as OpenSSL writes it
  std::string body;  // the base64 without white space
  std::string standardized;
};

const Pem& RsaPem() {
  static const Pem pem = [] {
    Pem result;
    result.text = MakeCertificatePem("rsa issuer", KeyType::kRsa);
    result.standardized = result.text.substr(0, result.text.size() - 1);  // no final newline
    const size_t from = kBegin.size(), to = result.text.find(kEnd);
    result.body = std::regex_replace(result.text.substr(from, to - from), std::regex("\\s"), "");
    return result;
  }();
  return pem;
}

std::string Rewrap(const std::string& body, size_t width, const std::string& newline) {
  std::string out;
  for (size_t i = 0; i < body.size(); i += width) out += body.substr(i, width) + newline;
  return out;
}

struct Variant {
  const char* name;
  std::string (*make)(const Pem&);
};

class StandardizesToOpenSslForm : public ::testing::TestWithParam<Variant> {};

TEST_P(StandardizesToOpenSslForm, AndParses) {
  std::string text = GetParam().make(RsaPem());
  ASSERT_TRUE(CertificateChainsContainer::StandardizePemCertificate(kBegin, kEnd, text));
  EXPECT_EQ(text, RsaPem().standardized);
  EXPECT_EQ(CertificateChainsContainer::ParseCertificateChains(Chains({{text}})).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Pem, StandardizesToOpenSslForm,
    ::testing::Values(Variant{"Unchanged", [](const Pem& p) { return p.text; }},
                      Variant{"Crlf",
                              [](const Pem& p) {
                                return kBegin + "\r\n" + Rewrap(p.body, 64, "\r\n") + kEnd + "\r\n";
                              }},
                      Variant{"LeadingBlanksAndTabs",
                              [](const Pem& p) {
                                return "  \t" + kBegin + "\n " + Rewrap(p.body, 64, "\n\t ") + kEnd;
                              }},
                      Variant{"Lines76",
                              [](const Pem& p) {
                                return kBegin + "\n" + Rewrap(p.body, 76, "\n") + kEnd;
                              }},
                      Variant{"OneLine", [](const Pem& p) { return kBegin + p.body + kEnd; }},
                      Variant{"BareBase64", [](const Pem& p) { return Rewrap(p.body, 76, "\n"); }},
                      Variant{"TrailingNewlines", [](const Pem& p) { return p.text + "\n\n \n"; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StandardizePemCertificate, TextBeforeTheBeginMarker) {
  const std::string body = "MIIB" + std::string(60, 'A');
  for (size_t prefix : {1u, 26u}) {
    std::string text = std::string(prefix, 'x') + kBegin + "\n" + body + "\n" + kEnd;
    EXPECT_FALSE(CertificateChainsContainer::StandardizePemCertificate(kBegin, kEnd, text))
        << prefix;
  }
  // Further ahead the marker goes and the text stays at the front of the body.
  std::string text = " " + std::string(27, 'x') + "\n" + kBegin + "\n" + body + "\n" + kEnd;
  ASSERT_TRUE(CertificateChainsContainer::StandardizePemCertificate(kBegin, kEnd, text));
  const std::string joined = std::string(27, 'x') + body;
  EXPECT_EQ(text, kBegin + "\n" + joined.substr(0, 64) + "\n" + joined.substr(64) + "\n" + kEnd);
}

TEST(StandardizePemCertificate, AnythingAfterTheEndMarkerFails) {
  for (const std::string& tail : {std::string("x"), std::string("\n-"), kBegin, kEnd}) {
    std::string text = RsaPem().text + tail;
    EXPECT_FALSE(CertificateChainsContainer::StandardizePemCertificate(kBegin, kEnd, text)) << tail;
  }
}

TEST(StandardizePemCertificate, BodyLinesAndEmptyBody) {
  std::string empty = " \r\n";
  ASSERT_TRUE(CertificateChainsContainer::StandardizePemCertificate(kBegin, kEnd, empty));
  EXPECT_EQ(empty, kBegin + "\n" + kEnd);
  std::string full = std::string(128, 'A');
  ASSERT_TRUE(CertificateChainsContainer::StandardizePemCertificate(kBegin, kEnd, full));
  EXPECT_EQ(full, kBegin + "\n" + std::string(64, 'A') + "\n" + std::string(64, 'A') + "\n" + kEnd);
}

TEST(StandardizeCertificateChains, ReportsEveryBadTextInChainThenCertificateOrder) {
  const std::string good = RsaPem().text, bad = RsaPem().text + "tail";
  ChainList chains = Chains({{good, good, bad}, {bad + "2", good}});
  try {
    CertificateChainsContainer::StandardizeCertificateChains(chains);
    FAIL() << "no failure";
  } catch (const StandardizingCertificatesFailure& failure) {
    const auto& errors = failure.GetErrors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(std::tie(errors[0].cert, errors[0].chain_index, errors[0].cert_index),
              std::make_tuple(bad, 0, 2));
    EXPECT_EQ(std::tie(errors[1].cert, errors[1].chain_index, errors[1].cert_index),
              std::make_tuple(bad + "2", 1, 0));
  }
  ChainList standardized = CertificateChainsContainer::StandardizeCertificateChains(
      Chains({{good, good}, {}, {RsaPem().body}}));
  ASSERT_EQ(standardized.size(), 3u);
  EXPECT_EQ(standardized[0]->cert_chain, std::vector<std::string>(2, RsaPem().standardized));
  EXPECT_TRUE(standardized[1]->cert_chain.empty());
  EXPECT_EQ(standardized[2]->cert_chain, std::vector<std::string>{RsaPem().standardized});
}

TEST(ParseCertificateChains, RsaAndEcEachDistinctTextOnce) {
  const std::string rsa = RsaPem().standardized;
  const std::string ec = MakeCertificatePem("ec issuer", KeyType::kEc);
  const auto certificates =
      CertificateChainsContainer::ParseCertificateChains(Chains({{rsa, ec, rsa}, {ec}, {}}));
  ASSERT_EQ(certificates.size(), 2u);
  EXPECT_EQ(certificates[0]->GetSubjectName(), "CN=rsa issuer");
  EXPECT_EQ(certificates[1]->GetSubjectName(), "CN=ec issuer");
}

TEST(ParseCertificateChains, ReportsEveryRefusedTextWithItsReason) {
  std::string garbage = std::string(27, 'x') + RsaPem().text;
  ASSERT_TRUE(CertificateChainsContainer::StandardizePemCertificate(kBegin, kEnd, garbage));
  std::string empty;
  ASSERT_TRUE(CertificateChainsContainer::StandardizePemCertificate(kBegin, kEnd, empty));
  try {
    CertificateChainsContainer::ParseCertificateChains(
        Chains({{RsaPem().standardized, garbage}, {garbage, empty}}));
    FAIL() << "no failure";
  } catch (const ParsingCertificatesFailure& failure) {
    const auto& errors = failure.GetErrors();
    ASSERT_EQ(errors.size(), 2u);  // the repeated text is not parsed again
    EXPECT_EQ(std::tie(errors[0].cert, errors[0].chain_index, errors[0].cert_index),
              std::make_tuple(garbage, 0, 1));
    EXPECT_EQ(std::tie(errors[1].cert, errors[1].chain_index, errors[1].cert_index),
              std::make_tuple(empty, 1, 1));
    EXPECT_FALSE(errors[0].message.empty());
    EXPECT_FALSE(errors[1].message.empty());
  }
}

TEST(LogCertificateChains, LinesAtLevelFive) {
  std::vector<std::pair<int, std::string>> lines;
  auto logger = Basalt::Service::Logger::CreateRoot(
      "SecurityTokenIssuers", 5,
      [&](const Basalt::Service::LogRecord& r) { lines.emplace_back(r.level, r.text); });
  CertificateChainsContainer::LogCertificateChains(*logger, {});
  CertificateChainsContainer::LogCertificateChains(*logger, Chains({{"a", "b"}, {"c"}}));
  using Line = std::pair<int, std::string>;
  EXPECT_EQ(lines, (std::vector<Line>{{5, "Empty certificate chains list!"},
                                      {5, "Certificate chain #0 below:"},
                                      {5, "Certificate #0 below:\na"},
                                      {5, "Certificate #1 below:\nb"},
                                      {5, "Certificate chain #1 below:"},
                                      {5, "Certificate #0 below:\nc"}}));
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
