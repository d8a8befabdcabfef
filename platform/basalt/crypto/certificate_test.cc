#include "platform/basalt/crypto/certificate.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/exception.h"

namespace Basalt::Crypto {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CertificateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nox-cert-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("TESSEL_ROOT", dir_.c_str(), 1);
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
        " -subj /CN=unit-test -days 2 -keyout " +
        (dir_ / "key.pem").string() + " -out " + (dir_ / "cert.pem").string() +
        " 2>/dev/null && "
        "openssl x509 -in " +
        (dir_ / "cert.pem").string() + " -outform DER -out " + (dir_ / "cert.der").string() +
        " && openssl x509 -in " + (dir_ / "cert.pem").string() + " -pubkey -noout -out " +
        (dir_ / "pub.pem").string();
    ASSERT_EQ(std::system(command.c_str()), 0);
    pem_ = ReadFile(dir_ / "cert.pem");
    const std::string der = ReadFile(dir_ / "cert.der");
    der_.assign(der.begin(), der.end());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
  std::string pem_;
  std::vector<uint8_t> der_;
};

TEST_F(CertificateTest, PemAndDerGiveTheSameCertificate) {
  const CertificatePtr fromPem = CreatePEMCertificate(pem_.data(), pem_.size());
  const CertificatePtr fromDer = CreateCertificate(der_.data(), der_.size());
  EXPECT_EQ(fromPem->GetDer(), der_);
  EXPECT_EQ(fromDer->GetDer(), der_);
  EXPECT_EQ(fromDer->GetPem(), pem_);
  EXPECT_EQ(fromPem->GetSubjectName(), "CN=unit-test");
}

TEST_F(CertificateTest, PublicKeyIsDerSubjectPublicKeyInfo) {
  const CertificatePtr cert = CreatePEMCertificate(pem_.data(), pem_.size());
  // The PEM public key body is the Base64 of the SubjectPublicKeyInfo.
  std::string body = ReadFile(dir_ / "pub.pem");
  body = body.substr(body.find('\n') + 1);
  body = body.substr(0, body.find("-----"));
  const auto der = cert->GetPublicKeyDer();
  EXPECT_EQ(DecodeBase64(body, Base64Alphabet::kStandard), std::string(der.begin(), der.end()));
  EXPECT_EQ(DecodeBase64(cert->GetPublicKeyBase64(), Base64Alphabet::kStandard),
            std::string(der.begin(), der.end()));
  EXPECT_EQ(EVP_PKEY_base_id(cert->GetPublicKey().get()), EVP_PKEY_EC);
}

TEST_F(CertificateTest, RefusalsCarryOpenSslText) {
  const std::string garbage = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
  try {
    CreatePEMCertificate(garbage.data(), garbage.size());
    FAIL() << "accepted a broken PEM certificate";
  } catch (const Exception& e) {
    EXPECT_NE(e.GetMessage().find("error:"), std::string::npos) << e.GetMessage();
  }
  const std::vector<uint8_t> truncated(der_.begin(), der_.begin() + der_.size() / 2);
  EXPECT_THROW(CreateCertificate(truncated.data(), truncated.size()), Exception);
  EXPECT_THROW(CreatePEMCertificate("", 0), Exception);
}

}  // namespace
}  // namespace Basalt::Crypto
