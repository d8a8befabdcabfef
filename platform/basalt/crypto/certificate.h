// An X.509 certificate, immutable once built and shared between threads by reference count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/basalt/crypto/openSslHandles.h"

namespace Basalt::Crypto {

class Certificate {
 public:
  explicit Certificate(X509Handle cert);

  // The certificate's DER encoding.
  std::vector<uint8_t> GetDer() const;
  std::string GetPem() const;

  // DER SubjectPublicKeyInfo of the certificate's key, as bytes and Base64 text.
  std::vector<uint8_t> GetPublicKeyDer() const;
  std::string GetPublicKeyBase64() const;

  // A new reference to the certificate's public key, owned by the caller.
  EvpPkeyHandle GetPublicKey() const;

  // One-line RFC 2253 form of the subject, for diagnostics.
  std::string GetSubjectName() const;

  // The OpenSSL object, for code that hands it to another OpenSSL-based library.
  const X509* GetNative() const { return cert_.get(); }

 private:
  X509Handle cert_;
};

using CertificatePtr = std::shared_ptr<const Certificate>;

// Both throw Basalt::Exception with OpenSSL's error text when the input is not a certificate.
CertificatePtr CreateCertificate(const uint8_t* der, size_t length);
// Reads the first PEM certificate of `text`.
CertificatePtr CreatePEMCertificate(const char* text, size_t length);

}  // namespace Basalt::Crypto
