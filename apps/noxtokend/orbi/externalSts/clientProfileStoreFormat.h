// How client profiles sit in the configuration store (component "nox", group "authentication"):
//   "client_profiles", one object per profile:
//     sub-object "subject": "type", "name", and for external subjects "issuer_alias", "domain";
//     list "grants" (written empty) and one "grants" sub-object per grant with "resource_type"
//     and "entitlement".
//   "nox_token_config", one object: list "profiles_init" and one "profiles_init" sub-object per
//     default profile with "profile_name" and "modified".
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/basalt/logger.h"
#include "platform/bindings/clientProfiles.h"
#include "platform/configstore/configStore.h"

namespace NoxToken {

namespace ClientProfilesSvc = Com::Tessel::Nox::Authentication::ClientProfilesSvc;

using GrantList = ClientProfilesSvc::GrantList;

// The "client_profiles" key, or one profile's object when an instance id is given.
NoxConfigStore::ConfigStoreObjectId ClientProfilesId(
    std::optional<std::string> instanceId = std::nullopt);

// The "nox_token_config" object.
NoxConfigStore::ConfigStoreObjectId NoxTokenConfigId();

// Logged (level 3) with the key when a stored profile or flag lacks it.
inline constexpr const char* kUnreadableKeyLog = "Failed to acess config store key: %1";

// One shared object per distinct grant read from the store (by its texts), so that a large store
// of like profiles holds a few grant objects rather than one per profile. Grants handed out by it
// are shared between profiles and must never be changed in place: a profile's update replaces its
// whole list. Not synchronised.
class GrantPool {
 public:
  std::shared_ptr<ClientProfilesSvc::AccessGrant> Get(
      const std::string& resourceType, const std::optional<std::string>& entitlement);

 private:
  std::map<std::pair<std::string, std::optional<std::string>>,
           std::shared_ptr<ClientProfilesSvc::AccessGrant>>
      grants_;
};

// Reads and builds profile objects, logging on the client profile store's logger.
class ClientProfileStoreFormat {
 public:
  explicit ClientProfileStoreFormat(std::shared_ptr<Basalt::Service::Logger> logger);

  // Raises Basalt::Exception for a subject type that is not known.
  std::shared_ptr<const ClientProfilesSvc::Subject> LoadSubject(
      const NoxConfigStore::ReadOnlyObject& profile) const;

  // Grants equal to one already in `pool` are that object.
  GrantList LoadGrants(const NoxConfigStore::ReadOnlyObject& profile, GrantPool& pool) const;

  // The object to store for a profile, or nothing (with the reason logged) when the profile holds
  // a value that cannot be stored.
  std::optional<NoxConfigStore::ConfigStoreObject> BuildObject(
      const std::string& instanceId, const ClientProfilesSvc::Info& profile,
      const NoxConfigStore::ConfigStore& store) const;

 private:
  std::string ReadText(const NoxConfigStore::ReadOnlyObject* object, const std::string& key) const;

  std::shared_ptr<Basalt::Service::Logger> logger_;
};

}  // namespace NoxToken
