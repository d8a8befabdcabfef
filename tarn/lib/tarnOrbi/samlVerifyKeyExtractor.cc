#include "tarnOrbi/samlVerifyKeyExtractor.h"

#include "lib/ssoclient/createVerifiedSamlToken.h"
#include "tarnOrbi/verifiedSamlAssertion.h"

namespace TarnOrbi {

SamlVerifyKeyExtractor::SamlVerifyKeyExtractor(
    SamlCertificateProvider certificates, std::shared_ptr<Basalt::Service::Logger> logger,
    Basalt::System::UtcClock clock, std::shared_ptr<Basalt::Crypto::CertificateCache> decoded,
    std::shared_ptr<SsoClient::VerifiedSamlTokenCache> remembered)
    : certificates_(std::move(certificates)),
      logger_(std::move(logger)),
      clock_(std::move(clock)),
      decoded_(std::move(decoded)),
      remembered_(std::move(remembered)) {}

Orbi::Security::SamlConfirmation SamlVerifyKeyExtractor::operator()(
    const std::string& token) const {
  try {
    auto parsed = SsoClient::CreateVerifiedSamlToken(token, AdaptCertificateProvider(certificates_),
                                                     clock_, decoded_.get(), remembered_.get());
    const Basalt::Crypto::CertificatePtr& certificate = parsed->GetConfirmationCertificate();
    if (!certificate) return {};
    return {certificate->GetPublicKeyBase64(),
            std::make_shared<VerifiedSamlAssertion>(token, std::move(parsed))};
  } catch (const std::exception& e) {
    logger_->Log(4, "Failed to extract token verification key: %1", e.what());
    return {};
  }
}

}  // namespace TarnOrbi
