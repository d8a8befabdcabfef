// How management targets look in records: a client profile as its grants, a trusted issuer as its
// name and the certificate fingerprints of each signing chain.
#pragma once

#include <memory>

#include "apps/noxtokend/audit/auditProvider.h"
#include "apps/noxtokend/audit/changeRecords.h"
#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"

namespace NoxToken::Audit {

TargetState ProfileTarget(const ClientProfilesSvc::Info& profile);
TargetState IssuerTarget(
    const Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::Info& issuer);

// Read under the store's read lock; nullopt for a profile that does not exist.
StateFn ProfileState(std::shared_ptr<ClientProfileAccess> profiles);

// Copied under the registry's read lock, fingerprinted after it.
StateFn IssuerState(
    Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::CertificateChainsContainerPtr
        issuers);

// What a profile or issuer service calls inside each change's transaction, with the target as it
// will stand (null when deleted): ChangeRecords::Witness.
template <class Info>
using ChangeWitness = std::function<Basalt::Status(const Orbi::Core::ExecutionContext& call,
                                                   const std::string& target, const Info* after)>;
ChangeWitness<ClientProfilesSvc::Info> ProfileWitness(std::shared_ptr<ChangeRecords> records);
ChangeWitness<Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::Info> IssuerWitness(
    std::shared_ptr<ChangeRecords> records);

// The issuer's alias, or empty when no registered issuer has that name.
std::function<std::string(const std::string& issuer)> IssuerAliasLookup(
    Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::CertificateChainsContainerPtr
        issuers);

}  // namespace NoxToken::Audit
