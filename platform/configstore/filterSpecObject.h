// Selects stored objects (by key, optionally one instance) or sub-objects (by name, optionally
// one instance) for the listing operations.
#pragma once

#include <optional>
#include <string>

#include "platform/configstore/configStoreObjectId.h"

namespace NoxConfigStore {

class FilterSpecObject {
 public:
  // Objects of the id's key; only the id's instance when it has one.
  explicit FilterSpecObject(const ConfigStoreObjectId& id);

  // Sub-objects with this name; only this instance when one is given.
  explicit FilterSpecObject(std::string subObjectName,
                            std::optional<std::string> instanceId = std::nullopt);

  bool Matches(const ConfigStoreObjectId& id) const;
  bool Matches(const SubObjectId& id) const;

  // The object id this filter was built from; empty for a sub-object filter.
  const std::optional<ConfigStoreObjectId>& GetObjectId() const { return objectId_; }

 private:
  std::optional<ConfigStoreObjectId> objectId_;
  std::optional<SubObjectId> subObjectId_;
};

}  // namespace NoxConfigStore
