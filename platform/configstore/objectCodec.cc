#include "platform/configstore/objectCodec.h"

#include "platform/basalt/jsonHandle.h"
#include "platform/configstore/configStoreException.h"
#include "platform/configstore/plainContentReader.h"

namespace NoxConfigStore {

namespace {

Basalt::Json::JsonPtr EncodeValue(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return Basalt::Json::JsonPtr(json_stringn(text->data(), text->size()));
  }
  if (const bool* flag = std::get_if<bool>(&value))
    return Basalt::Json::JsonPtr(json_boolean(*flag));
  Basalt::Json::JsonPtr list(json_array());
  for (const auto& item : std::get<StringList>(value)) {
    json_array_append_new(list.get(), json_stringn(item.data(), item.size()));
  }
  return list;
}

Basalt::Json::JsonPtr EncodeContent(const ReadOnlyObject& object) {
  Basalt::Json::JsonPtr values(json_object());
  for (const auto& [key, value] : object.GetValues()) {
    json_object_set_new(values.get(), key.c_str(), EncodeValue(value).release());
  }
  Basalt::Json::JsonPtr subObjects(json_array());
  for (const auto& sub : object.GetAllSubObjects()) {
    Basalt::Json::JsonPtr entry = EncodeContent(*sub);
    const SubObjectId& id = *sub->GetSubObjectId();
    json_object_set_new(entry.get(), "name", json_string(id.GetName().c_str()));
    if (id.GetInstanceId()) {
      json_object_set_new(entry.get(), "instance", json_string(id.GetInstanceId()->c_str()));
    }
    json_array_append_new(subObjects.get(), entry.release());
  }
  Basalt::Json::JsonPtr content(json_object());
  json_object_set_new(content.get(), "values", values.release());
  json_object_set_new(content.get(), "subObjects", subObjects.release());
  return content;
}

[[noreturn]] void Invalid(const std::string& what, const std::string& why) {
  throw ConfigStoreException("Invalid content of " + what + ": " + why);
}

void DecodeValue(const char* key, const json_t* value, WritableObject& into,
                 const std::string& what) {
  if (json_is_string(value)) {
    into.SetValue(key, std::string(json_string_value(value), json_string_length(value)));
  } else if (json_is_boolean(value)) {
    into.SetValue(key, json_is_true(value) ? true : false);
  } else if (json_is_array(value)) {
    StringList list;
    size_t index;
    const json_t* item;
    json_array_foreach(value, index, item) {
      if (!json_is_string(item)) Invalid(what, std::string("list ") + key + " holds a non-string");
      list.emplace_back(json_string_value(item), json_string_length(item));
    }
    into.SetValue(key, std::move(list));
  } else {
    Invalid(what, std::string("value ") + key + " is not a string, boolean or list");
  }
}

}  // namespace

std::string EncodeObjectContent(const ReadOnlyObject& object) {
  Basalt::Json::JsonPtr content = EncodeContent(object);
  Basalt::Json::JsonText text(json_dumps(content.get(), JSON_COMPACT | JSON_PRESERVE_ORDER));
  if (!text) throw ConfigStoreException("Cannot encode a configuration store object");
  return text.get();
}

void DecodeObjectContent(const json_t* content, WritableObject& into, const std::string& what) {
  if (!json_is_object(content)) Invalid(what, "not a JSON object");
  const json_t* values = json_object_get(content, "values");
  if (values != nullptr) {
    if (!json_is_object(values)) Invalid(what, "\"values\" is not an object");
    const char* key;
    const json_t* value;
    json_object_foreach(const_cast<json_t*>(values), key, value) {
      DecodeValue(key, value, into, what);
    }
  }
  const json_t* subObjects = json_object_get(content, "subObjects");
  if (subObjects == nullptr) return;
  if (!json_is_array(subObjects)) Invalid(what, "\"subObjects\" is not a list");
  size_t index;
  const json_t* entry;
  json_array_foreach(subObjects, index, entry) {
    const json_t* name = json_object_get(entry, "name");
    const json_t* instance = json_object_get(entry, "instance");
    if (!json_is_string(name)) Invalid(what, "a sub-object has no name");
    if (instance != nullptr && !json_is_string(instance)) {
      Invalid(what, "a sub-object instance is not a string");
    }
    std::optional<std::string> instanceId;
    if (instance != nullptr) instanceId = json_string_value(instance);
    auto sub = into.CreateSubObject(SubObjectId(json_string_value(name), instanceId));
    DecodeObjectContent(entry, *sub, what);
  }
}

void DecodeObjectContent(std::string_view text, WritableObject& into, const std::string& what) {
  // Stored objects are almost always plain; anything else is read by Jansson, which accepts or
  // explains it.
  if (ReadPlainObjectContent(text, into)) return;
  json_error_t error;
  Basalt::Json::JsonPtr content(
      json_loadb(text.data(), text.size(), JSON_REJECT_DUPLICATES, &error));
  if (!content) Invalid(what, error.text);
  DecodeObjectContent(content.get(), into, what);
}

}  // namespace NoxConfigStore
