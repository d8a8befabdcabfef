#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"

#include <stdexcept>

#include "apps/noxtokend/orbi/externalSts/storeGroup.h"
#include "platform/basalt/exception.h"

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
const typename Table::mapped_type* Find(const Table& table, const std::string& key) {
  auto it = table.find(key);
  return it == table.end() ? nullptr : &it->second;
}

// The store's form of `check`, run for `after` (which outlives the commit).
NoxConfigStore::ConfigStoreBatch::Check BeforeCommit(
    const CertificateChainsContainer::ChangeCheck& check, const Info* after) {
  if (!check) return nullptr;
  return [&check, after] { return check(after); };
}

IssuerChange Refused(Basalt::Status status) {
  return Basalt::Unexpected{IssuerRefusal(std::move(status))};
}

IssuerChange Invalid(std::vector<StandardizingCertificateError> errors) {
  IssuerRefusal refusal(Basalt::Status::InvalidArgument("Standardizing certificates failed"));
  refusal.standardizing = std::move(errors);
  return Basalt::Unexpected{std::move(refusal)};
}

IssuerChange Invalid(std::vector<ParsingCertificateError> errors) {
  IssuerRefusal refusal(Basalt::Status::InvalidArgument("Parsing certificates failed"));
  refusal.parsing = std::move(errors);
  return Basalt::Unexpected{std::move(refusal)};
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

const Info* CertificateChainsContainer::FindInfo(const std::string& alias) const {
  return Find(infoByAlias_, alias);
}

const std::string* CertificateChainsContainer::FindAliasByIssuer(const std::string& issuer) const {
  return Find(aliasByIssuer_, issuer);
}

bool CertificateChainsContainer::HasAlias(const std::string& alias) const {
  return infoByAlias_.count(alias) != 0;
}

bool CertificateChainsContainer::HasIssuer(const std::string& issuer) const {
  return certificatesByIssuer_.count(issuer) != 0;
}

Basalt::Status CertificateChainsContainer::WriteIssuer(const std::string& alias,
                                                       const std::string& issuer,
                                                       const ChainList& chains,
                                                       const ChangeCheck& check) {
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
  try {
    const Info after{issuer, chains};
    store_->WriteInstance(object, BeforeCommit(check, &after));
  } catch (const NoxConfigStore::ConfigStoreException& failure) {
    return Basalt::Status::IOError(failure.GetMessage());
  }
  return Basalt::Status::Ok();
}

Basalt::Status CertificateChainsContainer::DeleteIssuer(const std::string& alias,
                                                        const ChangeCheck& check) {
  try {
    store_->RemoveObject(IssuerObjectId(alias), BeforeCommit(check, nullptr));
  } catch (const NoxConfigStore::ConfigStoreException& failure) {
    return Basalt::Status::IOError(failure.GetMessage());
  }
  return Basalt::Status::Ok();
}

void CertificateChainsContainer::LoadIssuers() {
  const ConfigStoreObjectId keyId = IssuerObjectId();
  store_->SetBootStatus(keyId, true);
  const FilterSpecObject chainsFilter(kChainsSubObject);
  // Many issuers share certificates (a CA's chain): each distinct text is decoded once per load.
  DecodedCertificates decoded;
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
    // Stored texts are standardized already; one that no longer parses is a damaged store.
    auto certificates = ParseCertificateChains(chains, &decoded);
    if (!certificates) {
      throw Basalt::Exception(
          "Stored issuer object " + object->GetId().ToString() +
          " holds a certificate that does not parse: " + certificates.error().front().message);
    }
    infoByAlias_.emplace(alias, Info{issuer, std::move(chains)});
    certificatesByIssuer_.emplace(issuer, std::move(*certificates));
    aliasByIssuer_.emplace(issuer, alias);
  }
}

IssuerChange CertificateChainsContainer::CreateIssuer(const std::string& alias,
                                                      const std::string& issuer,
                                                      const ChainList& chains,
                                                      const ChangeCheck& check) {
  const std::string* holder = FindAliasByIssuer(issuer);
  if (HasAlias(alias) || holder) {
    IssuerRefusal refusal(Basalt::Status::AlreadyExists(alias));
    refusal.aliasTaken = HasAlias(alias);
    if (holder) refusal.issuerTaken = IssuerAlreadyExistsInfo{issuer, *holder};
    return Basalt::Unexpected{std::move(refusal)};
  }

  auto standardized = StandardizeCertificateChains(chains);
  if (!standardized) return Invalid(standardized.error());
  auto certificates = ParseCertificateChains(*standardized);
  if (!certificates) return Invalid(certificates.error());
  if (auto written = WriteIssuer(alias, issuer, *standardized, check); !written.ok()) {
    return Refused(std::move(written));
  }

  infoByAlias_.emplace(alias, Info{issuer, std::move(*standardized)});
  certificatesByIssuer_.emplace(issuer, std::move(*certificates));
  aliasByIssuer_.emplace(issuer, alias);
  return std::monostate{};
}

IssuerChange CertificateChainsContainer::UpdateIssuer(const std::string& alias,
                                                      const std::optional<std::string>& issuer,
                                                      const std::optional<ChainList>& chains,
                                                      const ChangeCheck& check) {
  auto it = infoByAlias_.find(alias);
  if (it == infoByAlias_.end()) return Refused(Basalt::Status::NotFound(alias));
  Info& info = it->second;
  const std::string current = info.issuer;
  const std::string next = issuer.value_or(current);
  if (next != current) {
    if (const std::string* holder = FindAliasByIssuer(next)) {
      IssuerRefusal refusal(Basalt::Status::AlreadyExists(next));
      refusal.issuerTaken = IssuerAlreadyExistsInfo{next, *holder};
      return Basalt::Unexpected{std::move(refusal)};
    }
  }

  // Stored chains parsed when they were loaded or set; only new ones need parsing.
  ChainList standardized = info.signing_cert_chains;
  std::optional<CertificateList> certificates;
  if (chains) {
    auto submitted = StandardizeCertificateChains(*chains);
    if (!submitted) return Invalid(submitted.error());
    auto parsed = ParseCertificateChains(*submitted);
    if (!parsed) return Invalid(parsed.error());
    standardized = std::move(*submitted);
    certificates = std::move(*parsed);
  }
  if (auto written = WriteIssuer(alias, next, standardized, check); !written.ok()) {
    return Refused(std::move(written));
  }

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
  return std::monostate{};
}

IssuerChange CertificateChainsContainer::RemoveIssuer(const std::string& alias,
                                                      const ChangeCheck& check) {
  auto it = infoByAlias_.find(alias);
  if (it == infoByAlias_.end()) return Refused(Basalt::Status::NotFound(alias));
  const std::string issuer = it->second.issuer;
  if (auto removed = DeleteIssuer(alias, check); !removed.ok()) return Refused(std::move(removed));
  aliasByIssuer_.erase(issuer);
  infoByAlias_.erase(it);
  certificatesByIssuer_.erase(issuer);
  return std::monostate{};
}

}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
