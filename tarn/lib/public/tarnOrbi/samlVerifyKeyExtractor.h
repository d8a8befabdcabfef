// Gives the SAML signature filter the key a holder-of-key call must be signed with.
#pragma once

#include <memory>
#include <string>

#include "platform/basalt/crypto/certificateCache.h"
#include "platform/basalt/dateTime.h"
#include "platform/basalt/logger.h"
#include "tarnOrbi/synchronizedCertificateListWrapper.h"

namespace TarnOrbi {

// Copyable function object, safe to call from several threads.
class SamlVerifyKeyExtractor {
 public:
  // `decoded`, when given, keeps the confirmation certificates already decoded.
  SamlVerifyKeyExtractor(SamlCertificateProvider certificates,
                         std::shared_ptr<Basalt::Service::Logger> logger,
                         Basalt::System::UtcClock clock = Basalt::System::SystemUtcClock(),
                         std::shared_ptr<Basalt::Crypto::CertificateCache> decoded = nullptr);

  // Verifies the token as the holder-of-key handler does and returns the Base64 of its
  // confirmation certificate's public key as DER SubjectPublicKeyInfo. Empty for a bearer token
  // (silently) and for a refused token (with one level-4 line).
  std::string operator()(const std::string& token) const;

 private:
  SamlCertificateProvider certificates_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  Basalt::System::UtcClock clock_;
  std::shared_ptr<Basalt::Crypto::CertificateCache> decoded_;
};

}  // namespace TarnOrbi
