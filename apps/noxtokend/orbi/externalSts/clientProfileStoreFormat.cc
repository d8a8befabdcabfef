#include "apps/noxtokend/orbi/externalSts/clientProfileStoreFormat.h"

#include "apps/noxtokend/orbi/externalSts/storeGroup.h"
#include "platform/basalt/exception.h"

namespace NoxToken {

using ClientProfilesSvc::AccessGrant;
using ClientProfilesSvc::Entitlement;
using ClientProfilesSvc::ResourceType;
using ClientProfilesSvc::Subject;
using ClientProfilesSvc::SubjectType;
using NoxConfigStore::ConfigStoreObject;
using NoxConfigStore::ConfigStoreObjectId;
using NoxConfigStore::FilterSpecObject;
using NoxConfigStore::ReadOnlyObject;
using NoxConfigStore::SubObjectId;

ConfigStoreObjectId ClientProfilesId(std::optional<std::string> instanceId) {
  return ConfigStoreObjectId("client_profiles", kStoreGroup, kStoreComponent,
                             std::move(instanceId));
}

ConfigStoreObjectId NoxTokenConfigId() {
  return ConfigStoreObjectId("nox_token_config", kStoreGroup, kStoreComponent);
}

ClientProfileStoreFormat::ClientProfileStoreFormat(std::shared_ptr<Basalt::Service::Logger> logger)
    : logger_(std::move(logger)) {}

std::string ClientProfileStoreFormat::ReadText(const ReadOnlyObject* object,
                                               const std::string& key) const {
  std::string value;
  if (object == nullptr || !object->GetValue(key, value)) {
    logger_->Log(3, kUnreadableKeyLog, key);
    value.clear();
  }
  return value;
}

std::shared_ptr<const Subject> ClientProfileStoreFormat::LoadSubject(
    const ReadOnlyObject& profile) const {
  auto subjectObject = profile.GetSubObject(SubObjectId("subject"));
  auto subject = std::make_shared<Subject>();
  subject->type = SubjectType::FromString(ReadText(subjectObject.get(), "type"));
  subject->name = ReadText(subjectObject.get(), "name");
  switch (subject->type.GetValue()) {
    case SubjectType::LOCAL_USER:
      logger_->Log(5, "- Local user name %1", *subject->name);
      break;
    case SubjectType::EXTERNAL_GROUP:
    case SubjectType::EXTERNAL_USER:
      subject->issuerAlias = ReadText(subjectObject.get(), "issuer_alias");
      subject->domain = ReadText(subjectObject.get(), "domain");
      logger_->Log(5, "- issuerAlias, domain, name: %1, %2, %3", *subject->issuerAlias,
                   *subject->domain, *subject->name);
      break;
    case SubjectType::UNKNOWN:
      logger_->Log(5, "Invalid subject type when loading subject from config store!");
      throw Basalt::Exception("Invalid subject type when loading subject from config store");
  }
  return subject;
}

std::shared_ptr<AccessGrant> GrantPool::Get(const std::string& resourceType,
                                            const std::optional<std::string>& entitlement) {
  auto [it, added] = grants_.try_emplace({resourceType, entitlement});
  if (added) {
    it->second = std::make_shared<AccessGrant>();
    it->second->resourceType = ResourceType::FromString(resourceType);
    if (entitlement) it->second->entitlement = Entitlement::FromString(*entitlement);
  }
  return it->second;
}

GrantList ClientProfileStoreFormat::LoadGrants(const ReadOnlyObject& profile,
                                               GrantPool& pool) const {
  GrantList grants;
  for (const auto& grantObject : profile.GetSubObjectInstances(FilterSpecObject("grants"))) {
    const std::string resourceType = ReadText(grantObject.get(), "resource_type");
    std::optional<std::string> entitlement;
    if (std::string text; grantObject->GetValue("entitlement", text)) entitlement = std::move(text);
    grants.push_back(pool.Get(resourceType, entitlement));
  }
  return grants;
}

std::optional<ConfigStoreObject> ClientProfileStoreFormat::BuildObject(
    const std::string& instanceId, const ClientProfilesSvc::Info& profile,
    const NoxConfigStore::ConfigStore& store) const {
  const Subject& subject = *profile.subject;
  if (subject.type.IsUnknown()) {
    logger_->Log(3,
                 "Cannot update client profile in the config store, the subject type is invalid");
    return std::nullopt;
  }
  for (const auto& grant : profile.grants) {
    if (grant->resourceType.IsUnknown()) {
      logger_->Log(3,
                   "Cannot update client profile in the config store, the list of grants is not "
                   "supported");
      return std::nullopt;
    }
    if (grant->entitlement && grant->entitlement->IsUnknown()) {
      logger_->Log(3,
                   "Cannot update client profile in the config store, an unknownentitlement has "
                   "been found");
      return std::nullopt;
    }
  }

  ConfigStoreObject object(ClientProfilesId(instanceId));
  auto subjectObject = object.CreateSubObject(SubObjectId("subject"));
  subjectObject->SetValue("type", subject.type.ToString());
  if (subject.type == SubjectType::LOCAL_USER) {
    subjectObject->SetValue("name", subject.name.value_or(""));
  } else {
    subjectObject->SetValue("issuer_alias", subject.issuerAlias.value_or(""));
    subjectObject->SetValue("domain", subject.domain.value_or(""));
    subjectObject->SetValue("name", subject.name.value_or(""));
  }
  object.SetValueEmptyList("grants");
  for (const auto& grant : profile.grants) {
    auto grantObject = object.CreateSubObject(SubObjectId("grants", store.GenerateInstanceId()));
    grantObject->SetValue("resource_type", grant->resourceType.ToString());
    if (grant->entitlement) grantObject->SetValue("entitlement", grant->entitlement->ToString());
  }
  return object;
}

}  // namespace NoxToken
