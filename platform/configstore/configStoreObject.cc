#include "platform/configstore/configStoreObject.h"

#include "platform/configstore/configStoreException.h"

namespace NoxConfigStore {

template <class T>
bool ReadOnlyObject::GetTyped(const std::string& key, T& out) const {
  auto it = values_.find(key);
  if (it == values_.end()) return false;
  const T* value = std::get_if<T>(&it->second);
  if (value == nullptr) return false;
  out = *value;
  return true;
}

bool ReadOnlyObject::GetValue(const std::string& key, std::string& out) const {
  return GetTyped(key, out);
}

bool ReadOnlyObject::GetValue(const std::string& key, bool& out) const {
  return GetTyped(key, out);
}

bool ReadOnlyObject::GetValue(const std::string& key, StringList& out) const {
  return GetTyped(key, out);
}

std::shared_ptr<const ReadOnlyObject> ReadOnlyObject::GetSubObject(const SubObjectId& id) const {
  for (const auto& sub : subObjects_) {
    if (sub->GetSubObjectId() == id) return sub;
  }
  return nullptr;
}

std::vector<std::shared_ptr<const ReadOnlyObject>> ReadOnlyObject::GetSubObjectInstances(
    const FilterSpecObject& filter) const {
  std::vector<std::shared_ptr<const ReadOnlyObject>> found;
  for (const auto& sub : subObjects_) {
    if (filter.Matches(*sub->GetSubObjectId())) found.push_back(sub);
  }
  return found;
}

std::vector<std::shared_ptr<const ReadOnlyObject>> ReadOnlyObject::GetAllSubObjects() const {
  return {subObjects_.begin(), subObjects_.end()};
}

void WritableObject::SetValue(const std::string& key, std::string value) {
  values_[key] = std::move(value);
}

void WritableObject::SetValue(const std::string& key, bool value) { values_[key] = value; }

void WritableObject::SetValue(const std::string& key, StringList value) {
  values_[key] = std::move(value);
}

std::shared_ptr<WritableObject> WritableObject::CreateSubObject(const SubObjectId& id) {
  if (GetSubObject(id) != nullptr) {
    throw ConfigStoreException("Duplicate sub-object " + id.GetName() +
                               (id.GetInstanceId() ? "[" + *id.GetInstanceId() + "]" : ""));
  }
  auto sub = std::make_shared<WritableObject>(id);
  subObjects_.push_back(sub);
  return sub;
}

}  // namespace NoxConfigStore
