// Default objects declared by the schema files that ship with each daemon. A schema file is JSON:
//   {"component": "nox", "group": "authentication",
//    "keys": {"<key>": {"defaults": [{"instance": "<id>"?, "values": ..., "subObjects": ...}]}}}
// where each default holds an object's content in the form of objectCodec.h.
#pragma once

#include <string>
#include <vector>

#include "platform/configstore/configStoreObject.h"

namespace NoxConfigStore {

class SchemaDefaults {
 public:
  // Reads every "*.json" file of the directory in name order; a missing directory declares
  // nothing. Raises ConfigStoreException naming the file when one cannot be read or parsed.
  static SchemaDefaults Load(const std::string& directory);

  // Fresh copies of the defaults that the filter selects, in declaration order.
  std::vector<ConfigStoreObjectPtr> GetDefaults(const FilterSpecObject& filter) const;

  // A fresh copy of the default with exactly this id, or null.
  ConfigStoreObjectPtr GetDefault(const ConfigStoreObjectId& id) const;

 private:
  struct Entry {
    ConfigStoreObjectId id;
    std::string content;
    std::string source;
  };

  static ConfigStoreObjectPtr Materialize(const Entry& entry);
  void LoadFile(const std::string& path);

  std::vector<Entry> entries_;
};

}  // namespace NoxConfigStore
