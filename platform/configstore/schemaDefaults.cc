#include "platform/configstore/schemaDefaults.h"

#include <algorithm>
#include <filesystem>

#include "platform/basalt/jsonHandle.h"
#include "platform/configstore/configStoreException.h"
#include "platform/configstore/objectCodec.h"

namespace NoxConfigStore {

namespace {

[[noreturn]] void Invalid(const std::string& path, const std::string& why) {
  throw ConfigStoreException("Invalid configuration store schema " + path + ": " + why);
}

std::string RequiredText(const json_t* parent, const char* name, const std::string& path) {
  const json_t* value = json_object_get(parent, name);
  if (!json_is_string(value)) Invalid(path, std::string("\"") + name + "\" is not a string");
  return json_string_value(value);
}

}  // namespace

SchemaDefaults SchemaDefaults::Load(const std::string& directory) {
  SchemaDefaults defaults;
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error)) return defaults;
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path().string());
  }
  if (error) Invalid(directory, error.message());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) defaults.LoadFile(file);
  return defaults;
}

void SchemaDefaults::LoadFile(const std::string& path) {
  json_error_t error;
  Basalt::Json::JsonPtr schema(json_load_file(path.c_str(), JSON_REJECT_DUPLICATES, &error));
  if (!schema) Invalid(path, std::string(error.text) + " at line " + std::to_string(error.line));
  std::string component = RequiredText(schema.get(), "component", path);
  std::string group = RequiredText(schema.get(), "group", path);
  const json_t* keys = json_object_get(schema.get(), "keys");
  if (!json_is_object(keys)) Invalid(path, "\"keys\" is not an object");
  const char* key;
  const json_t* declaration;
  json_object_foreach(const_cast<json_t*>(keys), key, declaration) {
    const json_t* list = json_object_get(declaration, "defaults");
    if (list == nullptr) continue;
    if (!json_is_array(list)) Invalid(path, std::string("defaults of ") + key + " are not a list");
    size_t index;
    const json_t* content;
    json_array_foreach(list, index, content) {
      const json_t* instance = json_object_get(content, "instance");
      if (instance != nullptr && !json_is_string(instance)) {
        Invalid(path, std::string("a default of ") + key + " has a non-string instance");
      }
      ConfigStoreObjectId id(
          key, group, component,
          instance ? std::optional<std::string>(json_string_value(instance)) : std::nullopt);
      Basalt::Json::JsonText text(json_dumps(content, JSON_COMPACT | JSON_PRESERVE_ORDER));
      if (!text) Invalid(path, std::string("a default of ") + key + " cannot be encoded");
      Entry entry{id, text.get(), path};
      Materialize(entry);  // rejects a malformed default now rather than at first use
      entries_.push_back(std::move(entry));
    }
  }
}

ConfigStoreObjectPtr SchemaDefaults::Materialize(const Entry& entry) {
  auto object = std::make_shared<ConfigStoreObject>(entry.id);
  DecodeObjectContent(entry.content, *object,
                      "default " + entry.id.ToString() + " of " + entry.source);
  return object;
}

std::vector<ConfigStoreObjectPtr> SchemaDefaults::GetDefaults(
    const FilterSpecObject& filter) const {
  std::vector<ConfigStoreObjectPtr> found;
  for (const auto& entry : entries_) {
    if (filter.Matches(entry.id)) found.push_back(Materialize(entry));
  }
  return found;
}

ConfigStoreObjectPtr SchemaDefaults::GetDefault(const ConfigStoreObjectId& id) const {
  for (const auto& entry : entries_) {
    if (entry.id == id) return Materialize(entry);
  }
  return nullptr;
}

}  // namespace NoxConfigStore
