#include "tarnOrbi/samlHokHandler.h"

#include "lib/ssoclient/createVerifiedSamlToken.h"
#include "platform/authn/authnData.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/frameworkIds.h"
#include "tarnOrbi/verifiedSamlAssertion.h"

namespace TarnOrbi::Authn {

namespace AuthnData = Nox::Authn::AuthnData;

SamlHokHandler::SamlHokHandler(SamlCertificateProvider certificates,
                               std::shared_ptr<Basalt::Service::Logger> logger, EnrichFn enrich,
                               Basalt::System::UtcClock clock,
                               std::shared_ptr<Basalt::Crypto::CertificateCache> decoded)
    : certificates_(std::move(certificates)),
      logger_(std::move(logger)),
      enrich_(std::move(enrich)),
      clock_(std::move(clock)),
      decoded_(std::move(decoded)) {}

void SamlHokHandler::AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                                       Orbi::Authn::AuthnCallback done) {
  const std::string* scheme = context->FindSecurity(Orbi::Security::kSchemeIdKey);
  const std::string* token = context->FindSecurity(Orbi::Security::kSamlHokTokenKey);
  const std::string* algorithm = context->FindSecurity(Orbi::Security::kSamlHokAlgorithmKey);
  if (!scheme || *scheme != Orbi::Security::kSamlHokScheme || !token || !algorithm) {
    done(nullptr);
    return;
  }
  std::shared_ptr<Orbi::Data::StructValue> result;
  try {
    // Verified by the signature filter earlier in this call, or here when no filter did.
    auto parsed = VerifiedSamlAssertion::Find(*context, *token);
    if (!parsed) {
      parsed = SsoClient::CreateVerifiedSamlToken(*token, AdaptCertificateProvider(certificates_),
                                                  clock_, decoded_.get());
    }
    const SsoClient::PrincipalId& subject = parsed->GetSubject();
    logger_->Log(6, "AsyncAuthenticate got SAML token for principal: %1", subject.ToString());
    result =
        AuthnData::Builder(AuthnData::kSamlTokenResult)
            .Username(subject.domain.empty() ? subject.name : subject.domain + "\\" + subject.name)
            .Build();
    if (enrich_ && !enrich_(parsed, result)) result = nullptr;
  } catch (const std::exception&) {
    // Every refusal looks the same to the caller; the reason stays out of the answer and the log.
    result = nullptr;
  }
  if (result) {
    done(result);
  } else {
    done(Orbi::Std::Unauthenticated().ToErrorValue());
  }
}

}  // namespace TarnOrbi::Authn
