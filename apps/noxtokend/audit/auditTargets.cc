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

StateFn ProfileState(std::shared_ptr<ClientProfileAccess> profiles) {
  return [profiles](const std::string& name) -> std::optional<TargetState> {
    Basalt::System::ScopedReadLock lock(*profiles);
    auto found = profiles->FindByName(name);
    if (!found) return std::nullopt;
    TargetState state;
    for (const auto& grant : found->grants) {
      if (!grant) continue;
      state.grants.push_back(grant->resourceType.ToString() + ":" +
                             (grant->entitlement ? grant->entitlement->ToString() : ""));
    }
    return state;
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
    TargetState state;
    state.issuer = info.issuer;
    for (const auto& chain : info.signing_cert_chains) {
      std::vector<std::string>& fingerprints = state.chains.emplace_back();
      if (!chain) continue;
      for (const auto& pem : chain->cert_chain) fingerprints.push_back(Fingerprint(pem));
    }
    return state;
  };
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
