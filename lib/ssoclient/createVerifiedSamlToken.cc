#include "lib/ssoclient/createVerifiedSamlToken.h"

#include "lib/ssoclient/samlTokenImpl.h"
#include "lib/ssoclient/samlValidation.h"
#include "platform/basalt/xml/keyResolver.h"

namespace SsoClient {

std::shared_ptr<const SamlToken> CreateVerifiedSamlToken(const std::string& xml,
                                                         const CertificateProvider& provider) {
  return CreateVerifiedSamlToken(xml, provider, Basalt::System::SystemUtcClock());
}

std::shared_ptr<const SamlToken> CreateVerifiedSamlToken(
    const std::string& xml, const CertificateProvider& provider,
    const Basalt::System::UtcClock& clock, Basalt::Crypto::CertificateCache* certificates) {
  auto token =
      std::make_shared<const SamlTokenImpl>(xml, kClockToleranceSeconds, clock, certificates);
  if (!provider) throw SsoException("No certificate provider");
  std::shared_ptr<const CertificateList> trusted;
  {
    const std::unique_ptr<const HeldCertificateList> held = provider(token.get());
    if (!held) throw SsoException("No certificate list");
    trusted = std::make_shared<const CertificateList>(held->GetList());
  }
  const auto keys = Basalt::Xml::Security::CreateTrustSetKeyResolver(std::move(trusted));
  VerifySignature(*token->GetSignature(), *keys);
  return token;
}

std::shared_ptr<const SamlToken> CreateVerifiedSamlToken(const std::string& xml,
                                                         const CertificateProvider& provider,
                                                         const Basalt::System::UtcClock& clock) {
  return CreateVerifiedSamlToken(xml, provider, clock, nullptr);
}

}  // namespace SsoClient
