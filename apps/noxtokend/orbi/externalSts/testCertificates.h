// For tests: real self-signed X.509 certificates made with OpenSSL at run time.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/basalt/crypto/certificate.h"

namespace Com::Tessel::Nox::Authentication::Trust::Testing {

enum class KeyType { kRsa, kEc };

// PEM text (64-column lines, final newline) of a fresh self-signed certificate.
inline std::string MakeCertificatePem(const std::string& commonName, KeyType type) {
  struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
  };
  Basalt::Crypto::EvpPkeyHandle key(type == KeyType::kRsa
                                        ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                                        : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  Basalt::Crypto::X509Handle cert(X509_new());
  if (!key || !cert) throw std::runtime_error("cannot make a test key");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key.get());
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
    throw std::runtime_error("cannot sign a test certificate");
  }
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert.get());
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace Com::Tessel::Nox::Authentication::Trust::Testing
