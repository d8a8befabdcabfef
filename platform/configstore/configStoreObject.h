// Stored objects: named values (string, boolean, list of strings) and named sub-objects.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/configstore/configStoreObjectId.h"
#include "platform/configstore/filterSpecObject.h"

namespace NoxConfigStore {

class WritableObject;

using StringList = std::vector<std::string>;
using Value = std::variant<std::string, bool, StringList>;

class ReadOnlyObject {
 public:
  virtual ~ReadOnlyObject() = default;

  // True when the key holds a value of the asked type, which is then copied into out.
  bool GetValue(const std::string& key, std::string& out) const;
  bool GetValue(const std::string& key, bool& out) const;
  bool GetValue(const std::string& key, StringList& out) const;

  const std::map<std::string, Value>& GetValues() const { return values_; }

  // Null when there is no such sub-object.
  std::shared_ptr<const ReadOnlyObject> GetSubObject(const SubObjectId& id) const;

  // The matching sub-objects in the order they were created.
  std::vector<std::shared_ptr<const ReadOnlyObject>> GetSubObjectInstances(
      const FilterSpecObject& filter) const;

  // Every sub-object in creation order.
  std::vector<std::shared_ptr<const ReadOnlyObject>> GetAllSubObjects() const;

  // The id under which this object sits in its parent; empty for a stored object itself.
  const std::optional<SubObjectId>& GetSubObjectId() const { return subObjectId_; }

 protected:
  // A stored object itself: no moved-from empty optional, which GCC's -O1 with TSan took for
  // uninitialised.
  ReadOnlyObject() = default;
  explicit ReadOnlyObject(std::optional<SubObjectId> subObjectId)
      : subObjectId_(std::move(subObjectId)) {}
  ReadOnlyObject(const ReadOnlyObject&) = default;

  std::map<std::string, Value> values_;
  std::vector<std::shared_ptr<WritableObject>> subObjects_;

 private:
  template <class T>
  bool GetTyped(const std::string& key, T& out) const;

  std::optional<SubObjectId> subObjectId_;
};

class WritableObject : public ReadOnlyObject {
 public:
  WritableObject() = default;
  explicit WritableObject(std::optional<SubObjectId> subObjectId)
      : ReadOnlyObject(std::move(subObjectId)) {}

  void SetValue(const std::string& key, std::string value);
  void SetValue(const std::string& key, const char* value) { SetValue(key, std::string(value)); }
  void SetValue(const std::string& key, bool value);
  void SetValue(const std::string& key, StringList value);
  // An empty list, so that a list key exists even when no element follows.
  void SetValueEmptyList(const std::string& key) { SetValue(key, StringList{}); }

  // Adds an empty sub-object; raises ConfigStoreException when the id is already used.
  std::shared_ptr<WritableObject> CreateSubObject(const SubObjectId& id);
};

// A whole stored object with its id.
class ConfigStoreObject : public WritableObject {
 public:
  explicit ConfigStoreObject(ConfigStoreObjectId id) : id_(std::move(id)) {}

  const ConfigStoreObjectId& GetId() const { return id_; }

 private:
  ConfigStoreObjectId id_;
};

using ConfigStoreObjectPtr = std::shared_ptr<ConfigStoreObject>;

}  // namespace NoxConfigStore
