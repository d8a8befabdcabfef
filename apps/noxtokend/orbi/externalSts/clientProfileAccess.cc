#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"

#include <thread>

#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"
#include "apps/noxtokend/orbi/externalSts/grantDeduplication.h"
#include "platform/basalt/assert.h"

namespace NoxToken {

using ClientProfilesSvc::Info;
using ClientProfilesSvc::Subject;
using ClientProfilesSvc::SubjectType;
using NoxConfigStore::ConfigStoreBatch;
using NoxConfigStore::ConfigStoreException;
using NoxConfigStore::ConfigStoreObject;
using NoxConfigStore::ConfigStoreObjectId;
using NoxConfigStore::ConfigStoreObjectPtr;
using NoxConfigStore::FilterSpecObject;
using NoxConfigStore::ReadOnlyObject;
using NoxConfigStore::SubObjectId;

namespace {

constexpr const char* kUpdateFailedLog =
    "Updating the Client Profile %1 in Config Store failed: %2";

std::string_view ViewOf(const std::optional<std::string>& text) {
  return text ? std::string_view(*text) : std::string_view();
}

// Views into `subject`: valid while it lives.
std::tuple<std::string_view, std::string_view, std::string_view> KeyOf(const Subject& subject) {
  return {ViewOf(subject.issuerAlias), ViewOf(subject.domain), ViewOf(subject.name)};
}

std::tuple<std::string_view, std::string_view, std::string_view> KeyOf(
    const ClientProfileAccess::ExternalKey& key) {
  return {std::get<0>(key), std::get<1>(key), std::get<2>(key)};
}

// Replaces the entry rather than its value: the key must view the new profile's subject.
template <class Index, class Key>
void Put(Index& index, const Key& key, const ClientProfileAccess::ProfilePtr& profile) {
  index.erase(key);
  index.emplace(key, profile);
}

template <class Index, class Key>
ClientProfileAccess::ProfilePtr Lookup(const Index& index, const Key& key) {
  auto it = index.find(key);
  return it == index.end() ? nullptr : it->second;
}

}  // namespace

void ClientProfileAccess::DefaultSleep(std::chrono::seconds duration) {
  std::this_thread::sleep_for(duration);
}

ClientProfileAccess::ClientProfileAccess(std::shared_ptr<NoxConfigStore::ConfigStore> store,
                                         SleepFunction sleep)
    : store_(std::move(store)),
      sleep_(std::move(sleep)),
      logger_(Basalt::Service::Logger::CreateLogger("ClientProfileAccess")),
      format_(logger_) {
  Populate();
}

ClientProfileAccess::ProfilePtr ClientProfileAccess::FindByName(const std::string& name) const {
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : it->second.profile;
}

ClientProfileAccess::ProfilePtr ClientProfileAccess::FindLocalUser(const std::string& name) const {
  return Lookup(localUsers_, std::string_view(name));
}

ClientProfileAccess::ProfilePtr ClientProfileAccess::FindExternalGroup(
    const ExternalKey& key) const {
  return Lookup(externalGroups_, KeyOf(key));
}

ClientProfileAccess::ProfilePtr ClientProfileAccess::FindExternalUser(
    const ExternalKey& key) const {
  return Lookup(externalUsers_, KeyOf(key));
}

std::vector<std::pair<std::string, ClientProfileAccess::ProfilePtr>>
ClientProfileAccess::GetProfiles() const {
  std::vector<std::pair<std::string, ProfilePtr>> profiles;
  profiles.reserve(byName_.size());
  for (const auto& [name, stored] : byName_) profiles.emplace_back(name, stored.profile);
  return profiles;
}

bool ClientProfileAccess::Exists(const std::string& profileName, const Subject& subject) const {
  if (byName_.count(profileName) != 0) return true;
  switch (subject.type.GetValue()) {
    case SubjectType::LOCAL_USER:
      return localUsers_.count(ViewOf(subject.name)) != 0;
    case SubjectType::EXTERNAL_GROUP:
      return externalGroups_.count(KeyOf(subject)) != 0;
    case SubjectType::EXTERNAL_USER:
      return externalUsers_.count(KeyOf(subject)) != 0;
    case SubjectType::UNKNOWN:
      break;
  }
  return false;
}

std::optional<bool> ClientProfileAccess::GetModifiedFlag(const std::string& profileName) const {
  auto it = modifiedFlags_.find(profileName);
  if (it == modifiedFlags_.end()) return std::nullopt;
  return it->second;
}

void ClientProfileAccess::AddToIndexes(const std::string& profileName, const ProfilePtr& profile,
                                       std::string instanceId) {
  const Subject& subject = *profile->subject;
  switch (subject.type.GetValue()) {
    case SubjectType::LOCAL_USER:
      Put(localUsers_, ViewOf(subject.name), profile);
      break;
    case SubjectType::EXTERNAL_GROUP:
      Put(externalGroups_, KeyOf(subject), profile);
      break;
    case SubjectType::EXTERNAL_USER:
      Put(externalUsers_, KeyOf(subject), profile);
      break;
    case SubjectType::UNKNOWN:
      break;
  }
  byName_[profileName] = Stored{profile, std::move(instanceId)};
}

void ClientProfileAccess::RemoveFromTypeIndex(const Subject& subject) {
  switch (subject.type.GetValue()) {
    case SubjectType::LOCAL_USER:
      localUsers_.erase(ViewOf(subject.name));
      break;
    case SubjectType::EXTERNAL_GROUP:
      externalGroups_.erase(KeyOf(subject));
      break;
    case SubjectType::EXTERNAL_USER:
      externalUsers_.erase(KeyOf(subject));
      break;
    case SubjectType::UNKNOWN:
      break;
  }
}

void ClientProfileAccess::Populate() {
  ConfigStoreObjectId profilesId = ClientProfilesId();
  store_->SetBootStatus(profilesId, true);
  logger_->Log(5, "Populate(%1)", profilesId.GetKey());
  auto instances = store_->ListInstances(FilterSpecObject(profilesId));
  logger_->Log(5, "Found %1 instances from Config Store", instances.size());

  for (const auto& object : instances) {
    auto profile = std::make_shared<Info>();
    profile->subject = format_.LoadSubject(*object);
    logger_->Log(5, "Loading %1", profile->subject->type.ToString());
    profile->grants = format_.LoadGrants(*object);
    std::string profileName = MakeProfileName(*profile->subject);
    // Two stored objects for one subject cannot come from this daemon; which one is right is
    // unknowable, so refuse to run on such a store.
    VERIFY(byName_.count(profileName) == 0);
    AddToIndexes(profileName, profile, *object->GetId().GetInstanceId());
  }
  ApplyDefaults();
}

void ClientProfileAccess::WaitForStore() {
  if (store_->IsBoot()) {
    logger_->Log(5, "Waiting for ConfigStore boot to finish.");
    bool finished = false;
    for (int attempt = 0; attempt < kBootWaitSeconds && !finished; ++attempt) {
      finished = !store_->IsBoot();
      if (!finished) sleep_(std::chrono::seconds(1));
    }
    if (!finished) {
      logger_->Log(2, "ConfigStore boot didn't finish in %1 seconds", kBootWaitSeconds);
      NOT_REACHED();
    }
  }
  logger_->Log(5, "ConfigStore boot has finished.");
}

std::map<std::string, bool> ClientProfileAccess::InitializeFlags(
    const ConfigStoreObjectId& id, const std::vector<ConfigStoreObjectPtr>& defaults) {
  logger_->Log(5, "Initializing client profile modification flags from default values");
  WaitForStore();
  std::map<std::string, bool> flags;
  ConfigStoreObject config(id);
  config.SetValueEmptyList("profiles_init");
  for (const auto& profile : defaults) {
    std::string profileName = MakeProfileName(*format_.LoadSubject(*profile));
    auto flag = config.CreateSubObject(SubObjectId("profiles_init", store_->GenerateInstanceId()));
    flag->SetValue("profile_name", profileName);
    flag->SetValue("modified", false);
    flags[profileName] = false;
  }
  store_->WriteObject(config);
  return flags;
}

std::map<std::string, bool> ClientProfileAccess::ReadFlags(const ReadOnlyObject& config) const {
  std::map<std::string, bool> flags;
  for (const auto& flag : config.GetSubObjectInstances(FilterSpecObject("profiles_init"))) {
    bool modified = false;
    std::string profileName;
    if (!flag->GetValue("modified", modified)) {
      logger_->Log(3, kUnreadableKeyLog, "modified");
    }
    if (!flag->GetValue("profile_name", profileName)) {
      logger_->Log(3, kUnreadableKeyLog, "profile_name");
    }
    flags[profileName] = modified;
  }
  return flags;
}

void ClientProfileAccess::ApplyDefaults() {
  ConfigStoreObjectId configId = NoxTokenConfigId();
  store_->SetBootStatus(configId, true);
  ConfigStoreObjectPtr config = store_->GetObject(configId);
  auto defaults = store_->GetDefaultObjects(FilterSpecObject(ClientProfilesId()));

  modifiedFlags_ = config ? ReadFlags(*config) : InitializeFlags(configId, defaults);
  if (modifiedFlags_.size() != defaults.size()) {
    logger_->Log(3,
                 "The number of default client profiles DOES NOT equal the number of default "
                 "'modified' flags. Please, check the configstore default value schema files of "
                 "noxtokend");
    return;
  }

  for (const auto& object : defaults) {
    auto profile = std::make_shared<Info>();
    profile->subject = format_.LoadSubject(*object);
    profile->grants = format_.LoadGrants(*object);
    std::string profileName = MakeProfileName(*profile->subject);
    auto flag = modifiedFlags_.find(profileName);
    if (flag == modifiedFlags_.end() || flag->second) continue;
    // A stored object of the same subject (only an edit from outside leaves one beside an
    // unmodified flag) wins: it is newer than the schema, and it already owns an instance id.
    if (byName_.count(profileName) != 0) continue;
    DeduplicateGrants(profile->grants);
    AddToIndexes(profileName, profile, store_->GenerateInstanceId());
    logger_->Log(5, "Successfully inserted/updated client profile: %1", profileName);
  }
}

std::optional<ConfigStoreObject> ClientProfileAccess::FlagsMarkingModified(
    const std::string& profileName) const {
  auto flag = modifiedFlags_.find(profileName);
  if (flag == modifiedFlags_.end() || flag->second) return std::nullopt;
  ConfigStoreObject config(NoxTokenConfigId());
  config.SetValueEmptyList("profiles_init");
  for (const auto& [name, modified] : modifiedFlags_) {
    auto entry = config.CreateSubObject(SubObjectId("profiles_init", store_->GenerateInstanceId()));
    entry->SetValue("profile_name", name);
    entry->SetValue("modified", modified || name == profileName);
  }
  return config;
}

Basalt::Status ClientProfileAccess::CommitChange(ConfigStoreBatch& batch,
                                                 const std::string& profileName, bool marksModified,
                                                 const char* failureLog,
                                                 const std::string& instanceId) {
  // The flag travels with the profile: a change is stored whole or not at all, and memory follows
  // only a commit.
  auto flags = marksModified ? FlagsMarkingModified(profileName) : std::nullopt;
  if (flags) batch.Write(*flags);
  try {
    store_->Commit(batch);
  } catch (const ConfigStoreException& e) {
    logger_->Log(3, failureLog, instanceId, e.GetMessage());
    if (flags) {
      logger_->Log(3,
                   "Updating the modified flag for client profile %1 in the configstore failed: %2",
                   profileName, e.GetMessage());
    }
    return Basalt::Status::IOError(e.GetMessage());
  }
  if (flags) modifiedFlags_[profileName] = true;
  return Basalt::Status::Ok();
}

Basalt::Status ClientProfileAccess::Insert(const std::string& profileName, ProfilePtr profile) {
  if (Exists(profileName, *profile->subject)) {
    logger_->Log(3, "Failed to insert client profile, already exists: %1", profileName);
    return Basalt::Status::AlreadyExists(profileName);
  }
  DeduplicateGrants(profile->grants);
  std::string instanceId = store_->GenerateInstanceId();
  auto object = format_.BuildObject(instanceId, *profile, *store_);
  ConfigStoreBatch batch;
  Basalt::Status status =
      object ? CommitChange(batch.Write(*object), profileName, false, kUpdateFailedLog, instanceId)
             : Basalt::Status::InvalidArgument(profileName);
  if (!status.ok()) {
    logger_->Log(3, "Failed to update client profile in config store: %1", profileName);
    return status;
  }
  AddToIndexes(profileName, profile, instanceId);
  logger_->Log(5, "Successfully inserted/updated client profile: %1", profileName);
  return status;
}

Basalt::Status ClientProfileAccess::Update(const std::string& profileName, GrantList grants) {
  auto stored = byName_.find(profileName);
  if (stored == byName_.end()) return Basalt::Status::NotFound(profileName);
  const ProfilePtr profile = stored->second.profile;
  const std::string instanceId = stored->second.instanceId;

  // The new grants reach the profile only once the store holds them.
  Info updated{profile->subject, std::move(grants)};
  DeduplicateGrants(updated.grants);
  auto object = format_.BuildObject(instanceId, updated, *store_);
  if (!object) return Basalt::Status::InvalidArgument(profileName);
  ConfigStoreBatch batch;
  Basalt::Status status =
      CommitChange(batch.Write(*object), profileName, true, kUpdateFailedLog, instanceId);
  if (status.ok()) profile->grants = std::move(updated.grants);
  return status;
}

Basalt::Status ClientProfileAccess::Erase(const std::string& profileName) {
  auto stored = byName_.find(profileName);
  if (stored == byName_.end()) {
    logger_->Log(3, "Failed to erase client profile, profile not found: %1", profileName);
    return Basalt::Status::NotFound(profileName);
  }
  const std::string instanceId = stored->second.instanceId;
  ConfigStoreBatch batch;
  batch.Remove(ClientProfilesId(instanceId));
  Basalt::Status status =
      CommitChange(batch, profileName, true,
                   "Deleting the Client Profile %1 in Config Store failed: %2", instanceId);
  if (!status.ok()) return status;
  // The entry owns the subject that the subject index's key views: that key goes first.
  const ProfilePtr profile = stored->second.profile;
  RemoveFromTypeIndex(*profile->subject);
  byName_.erase(stored);
  logger_->Log(5, "Successfully deleted client profile: %1", profileName);
  return status;
}

std::vector<std::string> ClientProfileAccess::RestoreDefaults() {
  Basalt::System::ScopedWriteLock lock(*this);
  std::vector<std::string> names;
  for (const auto& object : store_->GetDefaultObjects(FilterSpecObject(ClientProfilesId()))) {
    names.push_back(MakeProfileName(*format_.LoadSubject(*object)));
    auto stored = byName_.find(names.back());
    if (stored != byName_.end()) {
      store_->RemoveObject(ClientProfilesId(stored->second.instanceId));
      const ProfilePtr profile = stored->second.profile;
      RemoveFromTypeIndex(*profile->subject);
      byName_.erase(stored);
    }
  }
  store_->RemoveObject(NoxTokenConfigId());
  ApplyDefaults();
  return names;
}

}  // namespace NoxToken
