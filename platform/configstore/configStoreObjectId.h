// Names of stored objects and of the sub-objects inside them.
#pragma once

#include <optional>
#include <string>

namespace NoxConfigStore {

// One stored object: (component, group, key) names the key; the instance id tells apart the
// objects of a key that has several. An empty instance id counts as none.
class ConfigStoreObjectId {
 public:
  ConfigStoreObjectId(std::string key, std::string group, std::string component,
                      std::optional<std::string> instanceId = std::nullopt);

  const std::string& GetKey() const { return key_; }
  const std::string& GetGroup() const { return group_; }
  const std::string& GetComponent() const { return component_; }
  const std::optional<std::string>& GetInstanceId() const { return instanceId_; }
  bool HasInstanceId() const { return instanceId_.has_value(); }

  // The same key with another instance id (or none).
  ConfigStoreObjectId WithInstanceId(std::optional<std::string> instanceId) const;

  // "component/group/key[instance]", for messages.
  std::string ToString() const;

  bool operator==(const ConfigStoreObjectId&) const = default;

 private:
  std::string key_;
  std::string group_;
  std::string component_;
  std::optional<std::string> instanceId_;
};

// A sub-object inside an object: sub-objects sharing a name and differing by instance id form a
// list under that name.
class SubObjectId {
 public:
  explicit SubObjectId(std::string name, std::optional<std::string> instanceId = std::nullopt);

  const std::string& GetName() const { return name_; }
  const std::optional<std::string>& GetInstanceId() const { return instanceId_; }

  bool operator==(const SubObjectId&) const = default;

 private:
  std::string name_;
  std::optional<std::string> instanceId_;
};

}  // namespace NoxConfigStore
