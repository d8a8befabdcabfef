// The client profile store: every client profile in memory (clientProfileIndex.h), each change
// committed to the configuration store (with the flag it sets, in one transaction) before memory
// follows it; a refused change leaves memory and store as they were. Default profiles declared by
// the store's schema are applied at every start until an administrator changes or removes them,
// which the per-profile "modified" flags in "nox_token_config" record.
//
// Locking: the caller holds the object's lock (Basalt::System::ScopedReadLock / ScopedWriteLock)
// in the mode each method names with REQUIRES_SHARED / REQUIRES: lookups and listing the read
// lock, every change the write lock. Only RestoreDefaults, meant for a stopped daemon, takes the
// write lock itself. Profiles handed out are shared; their grants change only under the write
// lock.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "apps/noxtokend/orbi/externalSts/clientProfileIndex.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileStoreFormat.h"
#include "platform/basalt/logger.h"
#include "platform/basalt/rwLock.h"
#include "platform/basalt/status.h"
#include "platform/basalt/threadAnnotations.h"
#include "platform/bindings/clientProfiles.h"
#include "platform/configstore/configStore.h"

namespace NoxToken {

class ClientProfileAccess : public Basalt::System::RwLockableMixin {
 public:
  using ProfilePtr = std::shared_ptr<ClientProfilesSvc::Info>;
  // (issuer alias, domain, name) of an external group or user.
  using ExternalKey = std::tuple<std::string, std::string, std::string>;
  using SleepFunction = std::function<void(std::chrono::seconds)>;

  // How long start-up waits for the configuration store to leave its boot phase.
  static constexpr int kBootWaitSeconds = 300;

  // Loads the stored profiles and applies the defaults. Store failures and invalid stored
  // subjects raise (Basalt::Exception); a duplicate stored profile or a store that stays in its
  // boot phase stops the process. `sleep` serves the boot wait.
  explicit ClientProfileAccess(std::shared_ptr<NoxConfigStore::ConfigStore> store,
                               SleepFunction sleep = DefaultSleep);

  ProfilePtr FindByName(const std::string& profileName) const REQUIRES_SHARED(this);
  ProfilePtr FindLocalUser(const std::string& name) const REQUIRES_SHARED(this);
  ProfilePtr FindExternalGroup(const ExternalKey& key) const REQUIRES_SHARED(this);
  ProfilePtr FindExternalUser(const ExternalKey& key) const REQUIRES_SHARED(this);

  // Every profile with its name, in name order, for listing; a copy that outlives the lock.
  std::vector<std::pair<std::string, ProfilePtr>> GetProfiles() const REQUIRES_SHARED(this);

  // True when the name or the subject is taken, i.e. Insert would refuse it as existing.
  bool Exists(const std::string& profileName, const ClientProfilesSvc::Subject& subject) const
      REQUIRES_SHARED(this);

  // The "modified" flag of a default profile; empty for a profile that is not a default.
  std::optional<bool> GetModifiedFlag(const std::string& profileName) const REQUIRES_SHARED(this);

  // Runs inside a change's store transaction, right before its commit, with the profile as it
  // will stand (null when erased); a failed status refuses the change (kIOError).
  using ChangeCheck = std::function<Basalt::Status(const ClientProfilesSvc::Info* after)>;

  // Each change answers ok, or why it changed nothing: kNotFound (Update, Erase), kAlreadyExists
  // (Insert), kInvalidArgument (a profile the store format cannot hold, logged) or kIOError (the
  // store or `check` refused the write; logged, the store's text as the message).
  Basalt::Status Insert(const std::string& profileName, ProfilePtr profile,
                        const ChangeCheck& check = nullptr) REQUIRES(this);
  Basalt::Status Update(const std::string& profileName, GrantList grants,
                        const ChangeCheck& check = nullptr) REQUIRES(this);
  Basalt::Status Erase(const std::string& profileName, const ChangeCheck& check = nullptr)
      REQUIRES(this);

  // Puts every default profile back as at the first start: stored profiles of a default's name
  // are removed, the "modified" flags are reset and the defaults applied again. Other profiles
  // stay. For a stopped daemon's store (another process holding it in memory would not see the
  // change); takes the write lock. Store failures raise. Returns the default profiles' names;
  // `before`, when given, receives a copy of each as it was (null where it did not exist).
  std::vector<std::string> RestoreDefaults(std::vector<ProfilePtr>* before = nullptr)
      EXCLUDES(this);

  static void DefaultSleep(std::chrono::seconds duration);

 private:
  void Populate() REQUIRES(this);
  void ApplyDefaults() REQUIRES(this);
  void WaitForStore();
  // The "nox_token_config" object marking every default profile unmodified; `flags` gets the same.
  NoxConfigStore::ConfigStoreObject UnmodifiedFlags(
      const NoxConfigStore::ConfigStoreObjectId& id,
      const std::vector<NoxConfigStore::ConfigStoreObjectPtr>& defaults,
      std::map<std::string, bool>& flags) const;
  std::map<std::string, bool> InitializeFlags(
      const NoxConfigStore::ConfigStoreObjectId& id,
      const std::vector<NoxConfigStore::ConfigStoreObjectPtr>& defaults);
  std::map<std::string, bool> ReadFlags(const NoxConfigStore::ReadOnlyObject& config) const;

  // The "nox_token_config" object with the profile's flag set, when a change of the profile must
  // set it (a default profile not yet modified); else nothing.
  std::optional<NoxConfigStore::ConfigStoreObject> FlagsMarkingModified(
      const std::string& profileName) const REQUIRES_SHARED(this);
  // Commits the batch of a change of the profile, with its flag when the change `marksModified`,
  // once `check` passes for `after`; the flag is set in memory only once committed. A refused
  // write is logged with `failureLog` (the instance id and the store's text) and answers kIOError.
  Basalt::Status CommitChange(NoxConfigStore::ConfigStoreBatch& batch,
                              const std::string& profileName, bool marksModified,
                              const char* failureLog, const std::string& instanceId,
                              const ChangeCheck& check, const ClientProfilesSvc::Info* after)
      REQUIRES(this);

  // Set at construction, then fixed: read without the lock.
  std::shared_ptr<NoxConfigStore::ConfigStore> store_;
  SleepFunction sleep_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  ClientProfileStoreFormat format_;

  // Each profile with the instance id of its store object.
  ClientProfileIndex profiles_ GUARDED_BY(this);
  std::map<std::string, bool> modifiedFlags_ GUARDED_BY(this);
};

}  // namespace NoxToken
