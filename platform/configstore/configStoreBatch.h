// Changes to several objects of one store that are committed together: after
// ConfigStore::Commit(batch) returns, all of them are on disk; when it raises, none is.
//
// A batch is a plain value: it holds each object encoded as it was when added. Fill it on one
// thread, then commit it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/configstore/configStoreObject.h"
#include "platform/configstore/configStoreObjectId.h"

namespace NoxConfigStore {

class ConfigStoreBatch {
 public:
  struct Change {
    ConfigStoreObjectId id;
    std::optional<std::string> content;  // the encoded object; none to remove it
  };

  // Replaces the whole stored object of the same id (an instance id is optional).
  ConfigStoreBatch& Write(const ConfigStoreObject& object);
  // Removes the object; removing an absent object succeeds.
  ConfigStoreBatch& Remove(const ConfigStoreObjectId& id);

  // In the order they were added; a later change of the same id wins.
  const std::vector<Change>& Changes() const { return changes_; }

 private:
  std::vector<Change> changes_;
};

}  // namespace NoxConfigStore
