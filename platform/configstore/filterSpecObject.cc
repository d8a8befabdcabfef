#include "platform/configstore/filterSpecObject.h"

namespace NoxConfigStore {

FilterSpecObject::FilterSpecObject(const ConfigStoreObjectId& id) : objectId_(id) {}

FilterSpecObject::FilterSpecObject(std::string subObjectName, std::optional<std::string> instanceId)
    : subObjectId_(SubObjectId(std::move(subObjectName), std::move(instanceId))) {}

bool FilterSpecObject::Matches(const ConfigStoreObjectId& id) const {
  if (!objectId_) return false;
  if (id.GetKey() != objectId_->GetKey() || id.GetGroup() != objectId_->GetGroup() ||
      id.GetComponent() != objectId_->GetComponent()) {
    return false;
  }
  return !objectId_->HasInstanceId() || objectId_->GetInstanceId() == id.GetInstanceId();
}

bool FilterSpecObject::Matches(const SubObjectId& id) const {
  if (!subObjectId_) return false;
  if (id.GetName() != subObjectId_->GetName()) return false;
  return !subObjectId_->GetInstanceId() || subObjectId_->GetInstanceId() == id.GetInstanceId();
}

}  // namespace NoxConfigStore
