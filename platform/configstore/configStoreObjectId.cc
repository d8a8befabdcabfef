#include "platform/configstore/configStoreObjectId.h"

namespace NoxConfigStore {

namespace {
std::optional<std::string> NonEmpty(std::optional<std::string> text) {
  if (text && text->empty()) return std::nullopt;
  return text;
}
}  // namespace

ConfigStoreObjectId::ConfigStoreObjectId(std::string key, std::string group, std::string component,
                                         std::optional<std::string> instanceId)
    : key_(std::move(key)),
      group_(std::move(group)),
      component_(std::move(component)),
      instanceId_(NonEmpty(std::move(instanceId))) {}

ConfigStoreObjectId ConfigStoreObjectId::WithInstanceId(
    std::optional<std::string> instanceId) const {
  return ConfigStoreObjectId(key_, group_, component_, std::move(instanceId));
}

std::string ConfigStoreObjectId::ToString() const {
  std::string text = component_ + "/" + group_ + "/" + key_;
  if (instanceId_) text += "[" + *instanceId_ + "]";
  return text;
}

SubObjectId::SubObjectId(std::string name, std::optional<std::string> instanceId)
    : name_(std::move(name)), instanceId_(NonEmpty(std::move(instanceId))) {}

}  // namespace NoxConfigStore
