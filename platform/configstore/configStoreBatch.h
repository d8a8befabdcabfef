// Changes to several objects of one store that are committed together: after
// ConfigStore::Commit(batch) returns, all of them are on disk; when it raises, none is.
//
// A batch is a plain value: it holds each object encoded as it was when added, and the check that
// must pass before it is committed. Fill it on one thread, then commit it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/basalt/status.h"
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

  // Runs inside the batch's transaction, after its changes and right before the commit, with the
  // store's lock held (so it must not use the store): whatever a change must not stand without
  // (its audit record) is done there. A failed status rolls the batch back.
  using Check = std::function<Basalt::Status()>;
  ConfigStoreBatch& BeforeCommit(Check check);
  const Check& GetCheck() const { return check_; }

  // In the order they were added; a later change of the same id wins.
  const std::vector<Change>& Changes() const { return changes_; }

 private:
  std::vector<Change> changes_;
  Check check_;
};

}  // namespace NoxConfigStore
