#include "platform/basalt/crypto/certificateCache.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/basalt/exception.h"

namespace Basalt::Crypto {
namespace {

// Three certificates of one Ed25519 key (fixed-size signatures) that differ only in subject and
// serial, so of equal length.
class CertificateCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nox-cert-cache-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("TESSEL_ROOT", dir_.c_str(), 1);
    const std::string key = (dir_ / "key.pem").string();
    std::string command = "openssl genpkey -algorithm ED25519 -out " + key + " 2>/dev/null";
    for (int i = 0; i < 3; ++i) {
      command += " && openssl req -x509 -key " + key + " -subj /CN=cache-" + std::to_string(i) +
                 " -set_serial " + std::to_string(100 + i) + " -days 2 -outform DER -out " +
                 (dir_ / (std::to_string(i) + ".der")).string();
    }
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (int i = 0; i < 3; ++i) {
      std::ifstream in(dir_ / (std::to_string(i) + ".der"), std::ios::binary);
      ders_.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  CertificatePtr Decode(CertificateCache& cache, int i) {
    return cache.Decode(ders_[i].data(), ders_[i].size());
  }

  std::filesystem::path dir_;
  std::vector<std::vector<uint8_t>> ders_;
};

TEST_F(CertificateCacheTest, EachInputGetsItsOwnCertificateAndTheBoundHolds) {
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

TEST_F(CertificateCacheTest, NearMissesAndRefusalsAreNeverServedFromTheCache) {
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
  EXPECT_THROW(cache.Decode(ders_[0].data(), ders_[0].size() / 2), Exception);
  EXPECT_THROW(cache.Decode(ders_[0].data(), ders_[0].size() / 2), Exception);
  EXPECT_EQ(cache.Size(), 3u);
}

}  // namespace
}  // namespace Basalt::Crypto
