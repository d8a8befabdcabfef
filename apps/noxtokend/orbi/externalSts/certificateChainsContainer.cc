#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"

#include <stdexcept>

#include "apps/noxtokend/orbi/externalSts/storeGroup.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {

using NoxConfigStore::ConfigStoreObject;
using NoxConfigStore::ConfigStoreObjectId;
using NoxConfigStore::FilterSpecObject;
using NoxConfigStore::StringList;
using NoxConfigStore::SubObjectId;

namespace {

const char* const kIssuersKey = "trust_security_token_issuers";
const char* const kAliasValue = "issuer_alias";
const char* const kIssuerValue = "issuer";
const char* const kChainsSubObject = "signing_cert_chains";
const char* const kChainValue = "cert_chain";

ConfigStoreObjectId IssuerObjectId(std::optional<std::string> alias = std::nullopt) {
  return ConfigStoreObjectId(kIssuersKey, NoxToken::kStoreGroup, NoxToken::kStoreComponent,
                             std::move(alias));
}

template <class Table>
const typename Table::mapped_type& Find(const Table& table, const std::string& key,
                                        const char* what) {
  auto it = table.find(key);
  if (it == table.end()) throw std::out_of_range(std::string(what) + " not registered: " + key);
  return it->second;
}

}  // namespace

CertificateChainsContainer::CertificateChainsContainer()
    : CertificateChainsContainer(
          NoxConfigStore::ConfigStore::GetStore(NoxConfigStore::sGlobalNamespace)) {}

CertificateChainsContainer::CertificateChainsContainer(
    std::shared_ptr<NoxConfigStore::ConfigStore> store)
    : store_(std::move(store)), logger_(Basalt::Service::Logger::CreateLogger(kIssuersLoggerName)) {
  LoadIssuers();
}

const Info& CertificateChainsContainer::GetInfo(const std::string& alias) const {
  return Find(infoByAlias_, alias, "Issuer alias");
}

std::string CertificateChainsContainer::GetAliasByIssuer(const std::string& issuer) const {
  return Find(aliasByIssuer_, issuer, "Issuer");
}

CertificateList CertificateChainsContainer::GetCertificatesByIssuer(
    const std::string& issuer) const {
  return Find(certificatesByIssuer_, issuer, "Issuer");
}

bool CertificateChainsContainer::HasAlias(const std::string& alias) const {
  return infoByAlias_.count(alias) != 0;
}

bool CertificateChainsContainer::HasIssuer(const std::string& issuer) const {
  return certificatesByIssuer_.count(issuer) != 0;
}

void CertificateChainsContainer::WriteIssuer(const std::string& alias, const std::string& issuer,
                                             const ChainList& chains) {
  ConfigStoreObject object(IssuerObjectId(alias));
  object.SetValue(kAliasValue, alias);
  object.SetValue(kIssuerValue, issuer);
  object.SetValueEmptyList(kChainsSubObject);
  for (const auto& chain : chains) {
    // Chains carry no identity of their own: fresh sub-object ids at every write.
    auto subObject =
        object.CreateSubObject(SubObjectId(kChainsSubObject, store_->GenerateInstanceId()));
    subObject->SetValueEmptyList(kChainValue);
    subObject->SetValue(kChainValue, StringList(chain->cert_chain));
  }
  // The instance write refuses an empty alias, which the store could not list again.
  store_->WriteInstance(object);
}

void CertificateChainsContainer::DeleteIssuer(const std::string& alias) {
  store_->RemoveObject(IssuerObjectId(alias));
}

void CertificateChainsContainer::LoadIssuers() {
  const ConfigStoreObjectId keyId = IssuerObjectId();
  store_->SetBootStatus(keyId, true);
  const FilterSpecObject chainsFilter(kChainsSubObject);
  for (const auto& object : store_->ListInstances(FilterSpecObject(keyId))) {
    std::string alias;
    std::string issuer;
    if (!object->GetValue(kAliasValue, alias) || !object->GetValue(kIssuerValue, issuer)) {
      logger_->Log(4, "Skipping stored issuer object %1: no issuer alias or issuer",
                   object->GetId().ToString());
      continue;
    }
    ChainList chains;
    for (const auto& subObject : object->GetSubObjectInstances(chainsFilter)) {
      auto chain = std::make_shared<X509CertChain>();
      subObject->GetValue(kChainValue, chain->cert_chain);
      chains.push_back(std::move(chain));
    }
    // Only an edit of the store from outside can break uniqueness; the first object stored
    // wins so that the tables stay consistent.
    if (HasAlias(alias) || HasIssuer(issuer)) {
      logger_->Log(4,
                   "Skipping stored issuer object %1: issuer alias %2 or issuer %3 is already "
                   "registered",
                   object->GetId().ToString(), alias, issuer);
      continue;
    }
    // Stored texts are standardized already.
    CertificateList certificates = ParseCertificateChains(chains);
    infoByAlias_.emplace(alias, Info{issuer, std::move(chains)});
    certificatesByIssuer_.emplace(issuer, std::move(certificates));
    aliasByIssuer_.emplace(issuer, alias);
  }
}

CertificateChainsContainer::CreateConflicts CertificateChainsContainer::CreateIssuer(
    const std::string& alias, const std::string& issuer, const ChainList& chains) {
  CreateConflicts conflicts{HasAlias(alias), HasIssuer(issuer)};
  if (conflicts.aliasExists || conflicts.issuerExists) return conflicts;

  ChainList standardized = StandardizeCertificateChains(chains);
  CertificateList certificates = ParseCertificateChains(standardized);
  WriteIssuer(alias, issuer, standardized);

  infoByAlias_.emplace(alias, Info{issuer, std::move(standardized)});
  certificatesByIssuer_.emplace(issuer, std::move(certificates));
  aliasByIssuer_.emplace(issuer, alias);
  return conflicts;
}

bool CertificateChainsContainer::UpdateIssuer(const std::string& alias,
                                              const std::optional<std::string>& issuer,
                                              const std::optional<ChainList>& chains) {
  auto it = infoByAlias_.find(alias);
  if (it == infoByAlias_.end()) return false;
  Info& info = it->second;
  const std::string current = info.issuer;
  const std::string next = issuer.value_or(current);
  if (next != current) {
    auto holder = aliasByIssuer_.find(next);
    if (holder != aliasByIssuer_.end()) {
      throw IssuerConflictFailure(IssuerAlreadyExistsInfo{next, holder->second});
    }
  }

  // Stored chains parsed when they were loaded or set; only new ones need parsing.
  ChainList standardized =
      chains ? StandardizeCertificateChains(*chains) : info.signing_cert_chains;
  std::optional<CertificateList> certificates;
  if (chains) certificates = ParseCertificateChains(standardized);
  WriteIssuer(alias, next, standardized);

  if (certificates) {
    info.signing_cert_chains = std::move(standardized);
    certificatesByIssuer_[current] = std::move(*certificates);
  }
  if (next != current) {
    auto node = certificatesByIssuer_.extract(current);
    node.key() = next;
    certificatesByIssuer_.insert(std::move(node));
    aliasByIssuer_.erase(current);
    aliasByIssuer_.emplace(next, alias);
    info.issuer = next;
  }
  return true;
}

bool CertificateChainsContainer::RemoveIssuer(const std::string& alias) {
  auto it = infoByAlias_.find(alias);
  if (it == infoByAlias_.end()) return false;
  const std::string issuer = it->second.issuer;
  DeleteIssuer(alias);
  aliasByIssuer_.erase(issuer);
  infoByAlias_.erase(it);
  certificatesByIssuer_.erase(issuer);
  return true;
}

}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
