// Base64 in both alphabets, and certificates: decoded from PEM and DER, and cached.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/crypto/certificate.h"
#include "platform/basalt/crypto/certificateCache.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/testing/messageOf.h"
#include "platform/basalt/testing/temporaryHostRoot.h"

namespace Basalt::Crypto {
namespace {

using namespace std::string_literals;
constexpr auto kStd = Base64Alphabet::kStandard;
constexpr auto kUrl = Base64Alphabet::kUrl;

struct Vector {
  std::string bytes;
  Base64Alphabet alphabet;
  const char* text;
};

TEST(Base64Test, EncodesAndDecodesBothAlphabetsStandardAcrossWhiteSpace) {
  const Vector vectors[] = {
      {"", kStd, ""},
      {"f", kStd, "Zg=="},
      {"fo", kStd, "Zm8="},
      {"foo", kStd, "Zm9v"},
      {"foobar", kStd, "Zm9vYmFy"},
      {"\xfb\xff", kStd, "+/8="},
      {"", kUrl, ""},
      {"A", kUrl, "QQ"},
      {"AB", kUrl, "QUI"},
      {"ABC", kUrl, "QUJD"},
      {"\xfb\xff", kUrl, "-_8"},
      {"\0\1\2"s, kUrl, "AAEC"},
  };
  for (const auto& [bytes, alphabet, text] : vectors) {
    EXPECT_EQ(EncodeBase64(bytes, alphabet), text);
    EXPECT_EQ(DecodeBase64(text, alphabet), bytes) << text;
    std::string appended = "head.";
    AppendBase64(appended, bytes, alphabet);
    EXPECT_EQ(appended, "head."s + text);
  }
  std::string every;
  for (int i = 0; i < 256; ++i) every += static_cast<char>(i);
  for (const Base64Alphabet alphabet : {kStd, kUrl}) {
    for (size_t length = 250; length <= every.size(); ++length) {
      const std::string bytes = every.substr(0, length);
      EXPECT_EQ(DecodeBase64(EncodeBase64(bytes, alphabet), alphabet), bytes) << length;
    }
  }
  // The standard alphabet skips white space between characters.
  EXPECT_EQ(DecodeBase64("  Zm9v\r\n\tYmFy \n", kStd), "foobar");
  EXPECT_EQ(DecodeBase64("Zm9vYmFy\nZm9v YmFy", kStd), "foobarfoobar");
  EXPECT_EQ(DecodeBase64("Zg==\n", kStd), "f");
}

TEST(Base64Test, RefusesTextOutsideTheAlphabetsRules) {
  const std::pair<std::string, Base64Alphabet> refused[] = {
      {"Zm9", kStd},          {"Zm9v!", kStd}, {"Z===", kStd},   {"=Zm9", kStd},
      {"Zg==Zg==", kStd},     {"Zg=a", kStd},  {"Zm-v", kStd},   {"Zg=", kStd},
      {"Zg===", kStd},        {"QQ==", kUrl},  {"QUI=", kUrl},   {"+/8", kUrl},
      {"-_8 ", kUrl},         {"Q", kUrl},     {"QUJDQ", kUrl},  {"QR", kUrl},
      {"QUJ", kUrl},          {"Q\nQ", kUrl},  {"QU\0D"s, kUrl}, {"Zm9vZg==Zg==", kStd},
      {"QUJDQUJD!AAA", kUrl},
  };
  for (const auto& [text, alphabet] : refused) {
    EXPECT_FALSE(DecodeBase64(text, alphabet).has_value()) << text;
  }
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Three certificates of one Ed25519 key (fixed-size signatures) that differ only in subject and
// serial, so of equal length; the first also as PEM, with its public key.
class CertificateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string key = (dir_ / "key.pem").string();
    std::string command = "cd " + dir_.string() + " && openssl genpkey -algorithm ED25519 -out " +
                          key + " 2>/dev/null && openssl pkey -in " + key + " -pubout -out pub.pem";
    for (int i = 0; i < 3; ++i) {
      command += " && openssl req -x509 -key " + key + " -subj /CN=cert-" + std::to_string(i) +
                 " -set_serial " + std::to_string(100 + i) + " -days 2 -outform DER -out " +
                 std::to_string(i) + ".der";
    }
    ASSERT_EQ(std::system((command + " && openssl x509 -inform DER -in 0.der -out 0.pem").c_str()),
              0);
    for (int i = 0; i < 3; ++i) {
      const std::string der = ReadFile(dir_ / (std::to_string(i) + ".der"));
      ders_.emplace_back(der.begin(), der.end());
    }
    pem_ = ReadFile(dir_ / "0.pem");
  }

  CertificatePtr Decode(CertificateCache& cache, int i) {
    return cache.Decode(ders_[i].data(), ders_[i].size());
  }

  Testing::TemporaryHostRoot root_;
  const std::filesystem::path& dir_ = root_.Path();
  std::vector<std::vector<uint8_t>> ders_;
  std::string pem_;
};

TEST_F(CertificateTest, PemAndDerGiveTheSameCertificateAndItsPublicKey) {
  const CertificatePtr fromPem = CreatePEMCertificate(pem_.data(), pem_.size());
  const CertificatePtr fromDer = CreateCertificate(ders_[0].data(), ders_[0].size());
  EXPECT_EQ(fromPem->GetDer(), ders_[0]);  // a DER-made one's: the cache tests
  EXPECT_EQ(fromDer->GetPem(), pem_);
  EXPECT_EQ(fromPem->GetSubjectName(), "CN=cert-0");

  // The PEM public key body is the Base64 of the SubjectPublicKeyInfo.
  std::string body = ReadFile(dir_ / "pub.pem");
  body = body.substr(body.find('\n') + 1);
  body = body.substr(0, body.find("-----"));
  const auto der = fromPem->GetPublicKeyDer();
  EXPECT_EQ(DecodeBase64(body, kStd), std::string(der.begin(), der.end()));
  EXPECT_EQ(DecodeBase64(fromPem->GetPublicKeyBase64(), kStd), std::string(der.begin(), der.end()));
  EXPECT_EQ(EVP_PKEY_base_id(fromPem->GetPublicKey().get()), EVP_PKEY_ED25519);
}

TEST_F(CertificateTest, RefusalsCarryOpenSslText) {
  const std::string garbage = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
  const std::string refusal =
      Testing::MessageOf([&] { CreatePEMCertificate(garbage.data(), garbage.size()); });
  EXPECT_NE(refusal.find("error:"), std::string::npos) << refusal;
  EXPECT_THROW(CreateCertificate(ders_[0].data(), ders_[0].size() / 2), Exception);
  EXPECT_THROW(CreatePEMCertificate("", 0), Exception);
}

TEST_F(CertificateTest, CacheGivesEachInputItsOwnCertificateWithinItsBound) {
  CertificateCache cache(2);
  const CertificatePtr first = Decode(cache, 0);
  const CertificatePtr second = Decode(cache, 1);
  ASSERT_EQ(ders_[0].size(), ders_[1].size());
  EXPECT_EQ(first->GetDer(), ders_[0]);
  EXPECT_EQ(second->GetDer(), ders_[1]);
  EXPECT_EQ(Decode(cache, 0), first);  // a hit, and the most recently used now

  const CertificatePtr third = Decode(cache, 2);
  EXPECT_EQ(third->GetDer(), ders_[2]);
  EXPECT_EQ(cache.Size(), 2u);
  EXPECT_EQ(Decode(cache, 0), first);
  EXPECT_EQ(Decode(cache, 2), third);
  const CertificatePtr secondAgain = Decode(cache, 1);  // forgotten: decoded anew
  EXPECT_NE(secondAgain, second);
  EXPECT_EQ(secondAgain->GetDer(), ders_[1]);
  EXPECT_EQ(cache.Size(), 2u);
}

TEST_F(CertificateTest, CacheNeverServesNearMissesOrRefusals) {
  CertificateCache cache;
  const CertificatePtr cached = Decode(cache, 0);
  std::vector<uint8_t> longer = ders_[0];
  longer.push_back(0);
  EXPECT_NE(cache.Decode(longer.data(), longer.size()), cached);
  std::vector<uint8_t> flipped = ders_[0];
  flipped.back() ^= 0x01;  // a signature byte: still decodes, so it must be a separate entry
  const CertificatePtr other = cache.Decode(flipped.data(), flipped.size());
  EXPECT_NE(other, cached);
  EXPECT_EQ(other->GetDer(), flipped);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_THROW(cache.Decode(ders_[0].data(), ders_[0].size() / 2), Exception);
  }
  EXPECT_EQ(cache.Size(), 3u);
}

}  // namespace
}  // namespace Basalt::Crypto
