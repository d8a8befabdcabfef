#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"

#include <exception>
#include <thread>

#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"
#include "apps/noxtokend/orbi/externalSts/grantDeduplication.h"
#include "platform/basalt/assert.h"
#include "platform/basalt/exception.h"

namespace NoxToken {

using ClientProfilesSvc::Info;
using ClientProfilesSvc::Subject;
using ClientProfilesSvc::SubjectType;
using NoxConfigStore::CompactInstanceId;
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

ClientProfileAccess::ProfilePtr ProfileOf(const ClientProfileIndex::Entry* entry) {
  return entry ? entry->profile : nullptr;
}

ClientProfileIndex::NameParts PartsOf(SubjectType::Value type,
                                      const ClientProfileAccess::ExternalKey& key) {
  return ClientProfileIndex::PartsOf(type, std::get<0>(key), std::get<1>(key), std::get<2>(key));
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
  return ProfileOf(profiles_.Find(name));
}

// A local user's subject has only a name: the service and the store reader make no other.
ClientProfileAccess::ProfilePtr ClientProfileAccess::FindLocalUser(const std::string& name) const {
  return ProfileOf(
      profiles_.Find(ClientProfileIndex::PartsOf(SubjectType::LOCAL_USER, {}, {}, name)));
}

ClientProfileAccess::ProfilePtr ClientProfileAccess::FindExternalGroup(
    const ExternalKey& key) const {
  return ProfileOf(profiles_.Find(PartsOf(SubjectType::EXTERNAL_GROUP, key)));
}

ClientProfileAccess::ProfilePtr ClientProfileAccess::FindExternalUser(
    const ExternalKey& key) const {
  return ProfileOf(profiles_.Find(PartsOf(SubjectType::EXTERNAL_USER, key)));
}

std::vector<std::pair<std::string, ClientProfileAccess::ProfilePtr>>
ClientProfileAccess::GetProfiles() const {
  std::vector<std::pair<std::string, ProfilePtr>> profiles;
  profiles.reserve(profiles_.size());
  profiles_.ForEach([&profiles](const ClientProfileIndex::Entry& entry) {
    profiles.emplace_back(MakeProfileName(*entry.profile->subject), entry.profile);
  });
  return profiles;
}

// A profile's name is made from its subject, so a taken subject is a taken name.
bool ClientProfileAccess::Exists(const std::string& profileName, const Subject& subject) const {
  return profiles_.Find(profileName) != nullptr ||
         profiles_.Find(ClientProfileIndex::PartsOf(subject)) != nullptr;
}

std::optional<bool> ClientProfileAccess::GetModifiedFlag(const std::string& profileName) const {
  auto it = modifiedFlags_.find(profileName);
  if (it == modifiedFlags_.end()) return std::nullopt;
  return it->second;
}

void ClientProfileAccess::Populate() {
  ConfigStoreObjectId profilesId = ClientProfilesId();
  store_->SetBootStatus(profilesId, true);
  logger_->Log(5, "Populate(%1)", profilesId.GetKey());
  const FilterSpecObject filter(profilesId);
  if (logger_->IsEnabled(5)) {
    logger_->Log(5, "Found %1 instances from Config Store", store_->CountInstances(filter));
  }

  // One stored object at a time: a large store is never held decoded as a whole. What stops the
  // start (a subject of no known type, two objects of one subject) is acted on once every object
  // has been read, so that an unreadable object still wins as when all were read before any was
  // loaded; the first such object, in store order, decides.
  GrantPool grants;
  std::exception_ptr refusal;
  std::string duplicate;
  store_->ForEachInstance(filter, [&](const ConfigStoreObject& object) REQUIRES(this) {
    if (refusal || !duplicate.empty()) return;
    auto profile = std::make_shared<Info>();
    try {
      profile->subject = format_.LoadSubject(object);
    } catch (const Basalt::Exception&) {
      refusal = std::current_exception();
      return;
    }
    if (logger_->IsEnabled(5)) logger_->Log(5, "Loading %1", profile->subject->type.ToString());
    profile->grants = format_.LoadGrants(object, grants);
    const auto subject = profile->subject;
    if (!profiles_.Add(std::move(profile), CompactInstanceId(*object.GetId().GetInstanceId()))) {
      duplicate = MakeProfileName(*subject);
    }
  });
  profiles_.Order();
  if (refusal) std::rethrow_exception(refusal);
  // Two stored objects for one subject come only from a change made beside this daemon; which
  // one is right is unknowable, so refuse to run on such a store.
  if (!duplicate.empty()) {
    throw ConfigStoreException("the configuration store holds two client profiles named " +
                               duplicate +
                               ", written beside this daemon: delete one of them from the "
                               "store, or restore the store from a backup");
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

ConfigStoreObject ClientProfileAccess::UnmodifiedFlags(
    const ConfigStoreObjectId& id, const std::vector<ConfigStoreObjectPtr>& defaults,
    std::map<std::string, bool>& flags) const {
  ConfigStoreObject config(id);
  config.SetValueEmptyList("profiles_init");
  for (const auto& profile : defaults) {
    std::string profileName = MakeProfileName(*format_.LoadSubject(*profile));
    auto flag = config.CreateSubObject(SubObjectId("profiles_init", store_->GenerateInstanceId()));
    flag->SetValue("profile_name", profileName);
    flag->SetValue("modified", false);
    flags[profileName] = false;
  }
  return config;
}

std::map<std::string, bool> ClientProfileAccess::InitializeFlags(
    const ConfigStoreObjectId& id, const std::vector<ConfigStoreObjectPtr>& defaults) {
  logger_->Log(5, "Initializing client profile modification flags from default values");
  WaitForStore();
  std::map<std::string, bool> flags;
  store_->WriteObject(UnmodifiedFlags(id, defaults, flags));
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

  GrantPool grants;
  for (const auto& object : defaults) {
    auto profile = std::make_shared<Info>();
    profile->subject = format_.LoadSubject(*object);
    profile->grants = format_.LoadGrants(*object, grants);
    std::string profileName = MakeProfileName(*profile->subject);
    auto flag = modifiedFlags_.find(profileName);
    if (flag == modifiedFlags_.end() || flag->second) continue;
    // A stored object of the same subject (only an edit from outside leaves one beside an
    // unmodified flag) wins: it is newer than the schema, and it already owns an instance id.
    if (profiles_.Find(profileName) != nullptr) continue;
    DeduplicateGrants(profile->grants);
    profiles_.Insert(std::move(profile), CompactInstanceId(store_->GenerateInstanceId()));
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
                                                 const std::string& instanceId,
                                                 const ChangeCheck& check, const Info* after) {
  // The flag travels with the profile: a change is stored whole or not at all, and memory follows
  // only a commit.
  auto flags = marksModified ? FlagsMarkingModified(profileName) : std::nullopt;
  if (flags) batch.Write(*flags);
  if (check) batch.BeforeCommit([&check, after] { return check(after); });
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

Basalt::Status ClientProfileAccess::Insert(const std::string& profileName, ProfilePtr profile,
                                           const ChangeCheck& check) {
  if (Exists(profileName, *profile->subject)) {
    logger_->Log(3, "Failed to insert client profile, already exists: %1", profileName);
    return Basalt::Status::AlreadyExists(profileName);
  }
  DeduplicateGrants(profile->grants);
  std::string instanceId = store_->GenerateInstanceId();
  auto object = format_.BuildObject(instanceId, *profile, *store_);
  ConfigStoreBatch batch;
  Basalt::Status status = object ? CommitChange(batch.Write(*object), profileName, false,
                                                kUpdateFailedLog, instanceId, check, profile.get())
                                 : Basalt::Status::InvalidArgument(profileName);
  if (!status.ok()) {
    logger_->Log(3, "Failed to update client profile in config store: %1", profileName);
    return status;
  }
  profiles_.Insert(std::move(profile), CompactInstanceId(instanceId));
  logger_->Log(5, "Successfully inserted/updated client profile: %1", profileName);
  return status;
}

Basalt::Status ClientProfileAccess::Update(const std::string& profileName, GrantList grants,
                                           const ChangeCheck& check) {
  const ClientProfileIndex::Entry* stored = profiles_.Find(profileName);
  if (stored == nullptr) return Basalt::Status::NotFound(profileName);
  const ProfilePtr profile = stored->profile;
  const std::string instanceId = stored->instanceId.ToString();

  // The new grants reach the profile only once the store holds them.
  Info updated{profile->subject, std::move(grants)};
  DeduplicateGrants(updated.grants);
  auto object = format_.BuildObject(instanceId, updated, *store_);
  if (!object) return Basalt::Status::InvalidArgument(profileName);
  ConfigStoreBatch batch;
  Basalt::Status status = CommitChange(batch.Write(*object), profileName, true, kUpdateFailedLog,
                                       instanceId, check, &updated);
  if (status.ok()) profile->grants = std::move(updated.grants);
  return status;
}

Basalt::Status ClientProfileAccess::Erase(const std::string& profileName,
                                          const ChangeCheck& check) {
  const ClientProfileIndex::Entry* stored = profiles_.Find(profileName);
  if (stored == nullptr) {
    logger_->Log(3, "Failed to erase client profile, profile not found: %1", profileName);
    return Basalt::Status::NotFound(profileName);
  }
  const std::string instanceId = stored->instanceId.ToString();
  ConfigStoreBatch batch;
  batch.Remove(ClientProfilesId(instanceId));
  Basalt::Status status = CommitChange(batch, profileName, true,
                                       "Deleting the Client Profile %1 in Config Store failed: %2",
                                       instanceId, check, nullptr);
  if (!status.ok()) return status;
  profiles_.Erase(*stored);
  logger_->Log(5, "Successfully deleted client profile: %1", profileName);
  return status;
}

std::vector<std::string> ClientProfileAccess::RestoreDefaults(std::vector<ProfilePtr>* before) {
  Basalt::System::ScopedWriteLock lock(*this);
  const auto defaults = store_->GetDefaultObjects(FilterSpecObject(ClientProfilesId()));
  // One transaction: a fault part way must not leave a stored default removed while its flag
  // still says modified, which would leave that profile neither stored nor restored.
  ConfigStoreBatch batch;
  std::vector<std::string> names;
  for (const auto& object : defaults) {
    names.push_back(MakeProfileName(*format_.LoadSubject(*object)));
    if (before) {
      const ProfilePtr found = FindByName(names.back());
      before->push_back(found ? std::make_shared<Info>(*found) : nullptr);
    }
    if (const ClientProfileIndex::Entry* stored = profiles_.Find(names.back())) {
      batch.Remove(ClientProfilesId(stored->instanceId.ToString()));
    }
  }
  std::map<std::string, bool> flags;
  batch.Write(UnmodifiedFlags(NoxTokenConfigId(), defaults, flags));
  store_->Commit(batch);
  for (const std::string& name : names) {
    if (const ClientProfileIndex::Entry* stored = profiles_.Find(name)) profiles_.Erase(*stored);
  }
  ApplyDefaults();
  return names;
}

}  // namespace NoxToken
