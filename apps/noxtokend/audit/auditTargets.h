// How management targets look in records: a client profile as its grants, a trusted issuer as its
// name and the certificate fingerprints of each signing chain.
#pragma once

#include <memory>

#include "apps/noxtokend/audit/auditProvider.h"
#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"

namespace NoxToken::Audit {

// Read under the store's read lock; nullopt for a profile that does not exist.
StateFn ProfileState(std::shared_ptr<ClientProfileAccess> profiles);

// Copied under the registry's read lock, fingerprinted after it.
StateFn IssuerState(
    Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::CertificateChainsContainerPtr
        issuers);

// The issuer's alias, or empty when no registered issuer has that name.
std::function<std::string(const std::string& issuer)> IssuerAliasLookup(
    Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::CertificateChainsContainerPtr
        issuers);

}  // namespace NoxToken::Audit
