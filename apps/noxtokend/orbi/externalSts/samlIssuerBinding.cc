#include "apps/noxtokend/orbi/externalSts/samlIssuerBinding.h"

#include <optional>

#include "platform/authn/authnData.h"

namespace NoxToken {

namespace AuthnData = Nox::Authn::AuthnData;

TarnOrbi::SamlCertificateProvider MakeSamlCertificateProvider(IssuerRegistryPtr issuers) {
  return [issuers = std::move(issuers)](const SsoClient::SamlToken& token) {
    return TarnOrbi::SynchronizedCertificateListWrapper(
        // Called by the wrapper with the registry's read lock held.
        issuers, [&]() REQUIRES_SHARED(*issuers) -> const SsoClient::CertificateList& {
          static const SsoClient::CertificateList kUnregistered;
          const SsoClient::CertificateList* list =
              issuers->FindCertificatesByIssuer(token.GetIssuer());
          return list ? *list : kUnregistered;
        });
  };
}

TarnOrbi::Authn::SamlHokHandler::EnrichFn MakeSamlEnrichment(
    IssuerRegistryPtr issuers, std::shared_ptr<Basalt::Service::Logger> logger,
    Nox::Authn::ExternalTokenPolicy policy, Basalt::System::UtcClock clock) {
  return [issuers = std::move(issuers), logger = std::move(logger), policy = std::move(policy),
          clock = std::move(clock)](const std::shared_ptr<const SsoClient::SamlToken>& token,
                                    const std::shared_ptr<Orbi::Data::StructValue>& result) {
    auto refusal = policy.CheckSamlAudience(token->GetAudience());
    // Read only when checked: unchecked, a malformed value is accepted as it always was.
    if (!refusal && policy.checkConfirmationExpiry) {
      refusal = policy.CheckSamlConfirmationExpiry(token->GetConfirmationExpirationTime(), clock());
    }
    if (refusal) {
      logger->Log(3, "SAML token of issuer %1 refused: %2; the token holds: %3", token->GetIssuer(),
                  Describe(refusal->check), refusal->found);
      return false;
    }
    std::optional<std::string> alias;
    {
      const Basalt::System::ScopedReadLock lock(*issuers);
      const std::string* found = issuers->FindAliasByIssuer(token->GetIssuer());
      if (found) alias = *found;
    }
    if (!alias) {
      logger->Log(4, "Issuer %1 is no longer registered", token->GetIssuer());
      return false;
    }
    std::vector<AuthnData::StsGroup> groups;
    for (const SsoClient::PrincipalId& group : token->GetGroups()) {
      groups.push_back({group.name, group.domain});
    }
    const SsoClient::PrincipalId& subject = token->GetSubject();
    AuthnData::Builder(result)
        .IssuerAlias(*alias)
        .Username(subject.name)
        .Domain(subject.domain)
        .Groups(groups);
    return true;
  };
}

}  // namespace NoxToken
