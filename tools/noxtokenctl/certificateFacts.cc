#include "tools/noxtokenctl/certificateFacts.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>

#include "platform/basalt/crypto/certificate.h"
#include "platform/basalt/exception.h"

namespace NoxCtl {
namespace {

using Basalt::Crypto::CertificatePtr;

// The daemon's signature verifier refuses shorter RSA keys
// (platform/orbi/openSslSignatureVerifier).
constexpr int kMinRsaBits = 2048;

CertificatePtr Decode(const std::string& pem) {
  try {
    return Basalt::Crypto::CreatePEMCertificate(pem.data(), pem.size());
  } catch (const Basalt::Exception&) {
    return nullptr;
  }
}

std::string NameText(const X509_NAME* name) {
  Basalt::Crypto::BioHandle bio(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string TimeText(const ASN1_TIME* time) {
  std::tm parts{};
  char text[32] = "-";
  if (ASN1_TIME_to_tm(time, &parts) == 1) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  }
  return text;
}

std::string Fingerprint(const X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(cert, EVP_sha256(), digest, &length) != 1) return "-";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", digest[i]);
    text += pair;
  }
  return text;
}

std::string Named(size_t index, const CertificateFacts& facts) {
  return "certificate " + std::to_string(index + 1) + " (" + facts.subject + ")";
}

}  // namespace

std::optional<CertificateFacts> ReadCertificateFacts(const std::string& pem) {
  const CertificatePtr certificate = Decode(pem);
  if (!certificate) return std::nullopt;
  const X509* cert = certificate->GetNative();
  CertificateFacts facts;
  facts.subject = NameText(X509_get_subject_name(cert));
  facts.issuer = NameText(X509_get_issuer_name(cert));
  facts.notBefore = TimeText(X509_get0_notBefore(cert));
  facts.notAfter = TimeText(X509_get0_notAfter(cert));
  facts.sha256 = Fingerprint(cert);
  facts.notYetValid = X509_cmp_current_time(X509_get0_notBefore(cert)) > 0;
  facts.expired = X509_cmp_current_time(X509_get0_notAfter(cert)) < 0;
  const EVP_PKEY* key = X509_get0_pubkey(cert);
  if (key != nullptr && EVP_PKEY_base_id(key) == EVP_PKEY_RSA)
    facts.rsaBits = EVP_PKEY_get_bits(key);
  return facts;
}

std::vector<std::string> ChainProblems(const std::vector<std::string>& pems) {
  std::vector<std::string> problems;
  std::vector<CertificatePtr> certificates;
  for (size_t i = 0; i < pems.size(); ++i) {
    certificates.push_back(Decode(pems[i]));
    const auto facts = ReadCertificateFacts(pems[i]);
    if (!facts) {
      problems.push_back("certificate " + std::to_string(i + 1) + " is not readable");
    } else if (facts->expired) {
      problems.push_back(Named(i, *facts) + " expired on " + facts->notAfter);
    } else if (facts->notYetValid) {
      problems.push_back(Named(i, *facts) + " is not valid before " + facts->notBefore);
    }
    if (facts && facts->rsaBits > 0 && facts->rsaBits < kMinRsaBits) {
      problems.push_back(Named(i, *facts) + " has an RSA key of " + std::to_string(facts->rsaBits) +
                         " bits: the daemon verifies nothing " + "with one shorter than " +
                         std::to_string(kMinRsaBits));
    }
  }
  for (size_t i = 0; i + 1 < certificates.size(); ++i) {
    if (!certificates[i] || !certificates[i + 1]) continue;
    // X509_check_issued takes non-const pointers but only reads them.
    auto* issuer = const_cast<X509*>(certificates[i + 1]->GetNative());
    auto* subject = const_cast<X509*>(certificates[i]->GetNative());
    if (X509_check_issued(issuer, subject) != X509_V_OK) {
      problems.push_back("certificate " + std::to_string(i + 2) + " did not issue certificate " +
                         std::to_string(i + 1) +
                         ": give the chain leaf first, each issuer after "
                         "the certificate it signed");
    }
  }
  return problems;
}

std::vector<std::string> ChainProblems(const std::vector<std::vector<std::string>>& chains,
                                       size_t index) {
  std::vector<std::string> problems = ChainProblems(chains[index]);
  for (size_t earlier = 0; earlier < index; ++earlier) {
    if (chains[earlier] == chains[index]) {
      problems.push_back("the same certificates as chain " + std::to_string(earlier + 1) +
                         "; each chain is tried in turn");
      break;
    }
  }
  return problems;
}

std::string StandardPem(const std::string& pem) {
  const CertificatePtr certificate = Decode(pem);
  return certificate ? certificate->GetPem() : pem;
}

}  // namespace NoxCtl
