#include "apps/noxtokend/audit/auditTargets.h"

#include <stdexcept>

#include "platform/basalt/crypto/certificate.h"
#include "platform/basalt/crypto/digest.h"
#include "platform/basalt/rwLock.h"

namespace NoxToken::Audit {

namespace Issuers = Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc;

namespace {

// The SHA-256 of the certificate's DER form; a text that no longer parses is hashed as it stands.
std::string Fingerprint(const std::string& pem) {
  try {
    if (auto certificate = Basalt::Crypto::CreatePEMCertificate(pem.data(), pem.size())) {
      std::vector<uint8_t> der = certificate->GetDer();
      return Basalt::Crypto::Sha256Hex(
          std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
    }
  } catch (const std::exception&) {
  }
  return Basalt::Crypto::Sha256Hex(pem);
}

}  // namespace

TargetState ProfileTarget(const ClientProfilesSvc::Info& profile) {
  TargetState state;
  for (const auto& grant : profile.grants) {
    if (!grant) continue;
    state.grants.push_back(grant->resourceType.ToString() + ":" +
                           (grant->entitlement ? grant->entitlement->ToString() : ""));
  }
  return state;
}

TargetState IssuerTarget(const Issuers::Info& issuer) {
  TargetState state;
  state.issuer = issuer.issuer;
  for (const auto& chain : issuer.signing_cert_chains) {
    std::vector<std::string>& fingerprints = state.chains.emplace_back();
    if (!chain) continue;
    for (const auto& pem : chain->cert_chain) fingerprints.push_back(Fingerprint(pem));
  }
  return state;
}

StateFn ProfileState(std::shared_ptr<ClientProfileAccess> profiles) {
  return [profiles](const std::string& name) -> std::optional<TargetState> {
    Basalt::System::ScopedReadLock lock(*profiles);
    auto found = profiles->FindByName(name);
    if (!found) return std::nullopt;
    return ProfileTarget(*found);
  };
}

StateFn IssuerState(Issuers::CertificateChainsContainerPtr issuers) {
  return [issuers](const std::string& alias) -> std::optional<TargetState> {
    Issuers::Info info;
    {
      Basalt::System::ScopedReadLock lock(*issuers);
      const Issuers::Info* found = issuers->FindInfo(alias);
      if (!found) return std::nullopt;
      info = *found;
    }
    return IssuerTarget(info);
  };
}

template <class Info>
ChangeWitness<Info> Witness(std::shared_ptr<ChangeRecords> records,
                            TargetState (*target)(const Info&)) {
  return [records, target](const Orbi::Core::ExecutionContext& call, const std::string& name,
                           const Info* after) {
    return records->Witness(call, name,
                            after ? std::optional<TargetState>(target(*after)) : std::nullopt);
  };
}

ChangeWitness<ClientProfilesSvc::Info> ProfileWitness(std::shared_ptr<ChangeRecords> records) {
  return Witness(std::move(records), &ProfileTarget);
}

ChangeWitness<Issuers::Info> IssuerWitness(std::shared_ptr<ChangeRecords> records) {
  return Witness(std::move(records), &IssuerTarget);
}

std::function<std::string(const std::string& issuer)> IssuerAliasLookup(
    Issuers::CertificateChainsContainerPtr issuers) {
  return [issuers](const std::string& issuer) {
    Basalt::System::ScopedReadLock lock(*issuers);
    const std::string* alias = issuers->FindAliasByIssuer(issuer);
    return alias ? *alias : std::string();
  };
}

}  // namespace NoxToken::Audit
