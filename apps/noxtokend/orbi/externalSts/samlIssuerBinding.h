// Binds SAML holder-of-key authentication to the issuer registry: the certificates trusted for a
// token are its Issuer's, and the caller's data gains the issuer's alias and the subject's
// domain and groups.
#pragma once

#include <memory>

#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "apps/noxtokend/orbi/externalSts/externalTokenPolicy.h"
#include "platform/basalt/logger.h"
#include "tarnOrbi/samlHokHandler.h"

namespace NoxToken {

using IssuerRegistryPtr =
    Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::CertificateChainsContainerPtr;

// The list of the token's Issuer, by reference under the registry's read lock, which the
// returned wrapper holds; an empty list for an Issuer that is not registered.
TarnOrbi::SamlCertificateProvider MakeSamlCertificateProvider(IssuerRegistryPtr issuers);

// Sets "issuerAlias" (looked up under the read lock), "username" (the subject's name alone),
// "domain" and "StsGroups". Refuses, with a level-3 line naming the audience found, an assertion
// whose AudienceRestriction holds none of the policy's audiences (when it names any); with the
// policy's checkConfirmationExpiry, refuses with a level-3 line naming the time one whose
// confirmation NotOnOrAfter has passed at `clock` (beyond the skew), and throws the token's
// ParseException for one whose value is not a date, which the handler refuses as any token that
// does not parse; refuses, with a level-4 line, when the Issuer was removed after the token was
// verified: a caller is never authenticated without an alias.
TarnOrbi::Authn::SamlHokHandler::EnrichFn MakeSamlEnrichment(
    IssuerRegistryPtr issuers, std::shared_ptr<Basalt::Service::Logger> logger,
    Nox::Authn::ExternalTokenPolicy policy = {},
    Basalt::System::UtcClock clock = Basalt::System::SystemUtcClock());

}  // namespace NoxToken
