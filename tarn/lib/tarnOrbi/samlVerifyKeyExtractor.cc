#include "tarnOrbi/samlVerifyKeyExtractor.h"

#include "lib/ssoclient/createVerifiedSamlToken.h"

namespace TarnOrbi {

SamlVerifyKeyExtractor::SamlVerifyKeyExtractor(
    SamlCertificateProvider certificates, std::shared_ptr<Basalt::Service::Logger> logger,
    Basalt::System::UtcClock clock, std::shared_ptr<Basalt::Crypto::CertificateCache> decoded)
    : certificates_(std::move(certificates)),
      logger_(std::move(logger)),
      clock_(std::move(clock)),
      decoded_(std::move(decoded)) {}

std::string SamlVerifyKeyExtractor::operator()(const std::string& token) const {
  try {
    const auto parsed = SsoClient::CreateVerifiedSamlToken(
        token, AdaptCertificateProvider(certificates_), clock_, decoded_.get());
    const Basalt::Crypto::CertificatePtr& certificate = parsed->GetConfirmationCertificate();
    return certificate ? certificate->GetPublicKeyBase64() : std::string();
  } catch (const std::exception& e) {
    logger_->Log(4, "Failed to extract token verification key: %1", e.what());
    return {};
  }
}

}  // namespace TarnOrbi
