#include "platform/configstore/configStoreBatch.h"

#include "platform/configstore/objectCodec.h"

namespace NoxConfigStore {

ConfigStoreBatch& ConfigStoreBatch::Write(const ConfigStoreObject& object) {
  changes_.push_back({object.GetId(), EncodeObjectContent(object)});
  return *this;
}

ConfigStoreBatch& ConfigStoreBatch::Remove(const ConfigStoreObjectId& id) {
  changes_.push_back({id, std::nullopt});
  return *this;
}

ConfigStoreBatch& ConfigStoreBatch::BeforeCommit(Check check) {
  check_ = std::move(check);
  return *this;
}

}  // namespace NoxConfigStore
