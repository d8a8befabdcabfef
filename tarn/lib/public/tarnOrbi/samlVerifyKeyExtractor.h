// Gives the SAML signature filter the key a holder-of-key call must be signed with.
#pragma once

#include <memory>
#include <string>

#include "lib/ssoclient/verifiedSamlTokenCache.h"
#include "platform/basalt/crypto/certificateCache.h"
#include "platform/basalt/dateTime.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/samlVerifierFilter.h"
#include "tarnOrbi/synchronizedCertificateListWrapper.h"

namespace TarnOrbi {

// Copyable function object, safe to call from several threads.
class SamlVerifyKeyExtractor {
 public:
  // `decoded`, when given, keeps the confirmation certificates already decoded; `remembered`,
  // when given, the tokens already verified (see CreateVerifiedSamlToken).
  SamlVerifyKeyExtractor(SamlCertificateProvider certificates,
                         std::shared_ptr<Basalt::Service::Logger> logger,
                         Basalt::System::UtcClock clock = Basalt::System::SystemUtcClock(),
                         std::shared_ptr<Basalt::Crypto::CertificateCache> decoded = nullptr,
                         std::shared_ptr<SsoClient::VerifiedSamlTokenCache> remembered = nullptr);

  // Verifies the token as the holder-of-key handler does and returns the Base64 of its
  // confirmation certificate's public key as DER SubjectPublicKeyInfo, with the verified token
  // (a VerifiedSamlAssertion) for the handler. Empty for a bearer token (silently) and for a
  // refused token (with one level-4 line).
  Orbi::Security::SamlConfirmation operator()(const std::string& token) const;

 private:
  SamlCertificateProvider certificates_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  Basalt::System::UtcClock clock_;
  std::shared_ptr<Basalt::Crypto::CertificateCache> decoded_;
  std::shared_ptr<SsoClient::VerifiedSamlTokenCache> remembered_;
};

}  // namespace TarnOrbi
