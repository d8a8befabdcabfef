#include "lib/ssoclient/createVerifiedSamlToken.h"

#include "lib/ssoclient/samlTokenImpl.h"
#include "lib/ssoclient/samlValidation.h"
#include "lib/ssoclient/verifiedSamlTokenCache.h"
#include "platform/basalt/xml/keyResolver.h"

namespace SsoClient {

std::shared_ptr<const SamlToken> CreateVerifiedSamlToken(const std::string& xml,
                                                         const CertificateProvider& provider) {
  return CreateVerifiedSamlToken(xml, provider, Basalt::System::SystemUtcClock());
}

namespace {

// Copied under the provider's hold, which ends before any signature is verified.
CertificateList TrustedFor(const CertificateProvider& provider, const SamlToken& token) {
  const std::unique_ptr<const HeldCertificateList> held = provider(&token);
  if (!held) throw SsoException("No certificate list");
  return held->GetList();
}

}  // namespace

std::shared_ptr<const SamlToken> CreateVerifiedSamlToken(
    const std::string& xml, const CertificateProvider& provider,
    const Basalt::System::UtcClock& clock, Basalt::Crypto::CertificateCache* certificates,
    VerifiedSamlTokenCache* remembered) {
  if (remembered && provider) {
    const auto known = remembered->Find(xml, kClockToleranceSeconds, clock());
    if (known && TrustedFor(provider, *known->token) == known->trusted) return known->token;
  }
  auto token =
      std::make_shared<const SamlTokenImpl>(xml, kClockToleranceSeconds, clock, certificates);
  if (!provider) throw SsoException("No certificate provider");
  auto trusted = std::make_shared<const CertificateList>(TrustedFor(provider, *token));
  const auto keys = Basalt::Xml::Security::CreateTrustSetKeyResolver(trusted);
  VerifySignature(*token->GetSignature(), *keys);
  if (remembered) remembered->Remember(token, *trusted);
  return token;
}

std::shared_ptr<const SamlToken> CreateVerifiedSamlToken(const std::string& xml,
                                                         const CertificateProvider& provider,
                                                         const Basalt::System::UtcClock& clock) {
  return CreateVerifiedSamlToken(xml, provider, clock, nullptr);
}

}  // namespace SsoClient
