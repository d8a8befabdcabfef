#include "platform/orbi/json.h"

namespace Orbi::Json {

using Data::DataValue;

namespace {

JsonPtr StructToJson(const Data::StructValue& value, Encoding encoding) {
  JsonPtr object(json_object());
  if (encoding == Encoding::kStandard && !value.GetName().empty()) {
    json_object_set_new(object.get(), "_type", json_string(value.GetName().c_str()));
  }
  for (const auto& [name, field] : value.GetFields()) {
    JsonPtr member = field ? ToJson(*field, encoding) : JsonPtr(json_null());
    json_object_set_new(object.get(), name.c_str(), member.release());
  }
  return object;
}

}  // namespace

JsonPtr ToJson(const DataValue& value, Encoding encoding) {
  switch (value.GetKind()) {
    case DataValue::Kind::Null:
    case DataValue::Kind::Void:
      return JsonPtr(json_null());
    case DataValue::Kind::String: {
      const auto& text = static_cast<const Data::StringValue&>(value).GetValue();
      return JsonPtr(json_stringn(text.data(), text.size()));
    }
    case DataValue::Kind::Integer:
      return JsonPtr(json_integer(static_cast<const Data::IntegerValue&>(value).GetValue()));
    case DataValue::Kind::Real:
      return JsonPtr(json_real(static_cast<const Data::RealValue&>(value).GetValue()));
    case DataValue::Kind::Boolean:
      return JsonPtr(json_boolean(static_cast<const Data::BooleanValue&>(value).GetValue()));
    case DataValue::Kind::List: {
      JsonPtr array(json_array());
      for (const auto& item : static_cast<const Data::ListValue&>(value).GetItems()) {
        json_array_append_new(array.get(), item ? ToJson(*item, encoding).release() : json_null());
      }
      return array;
    }
    case DataValue::Kind::Struct:
    case DataValue::Kind::Error:
      return StructToJson(static_cast<const Data::StructValue&>(value), encoding);
  }
  return JsonPtr(json_null());
}

std::string Dump(const json_t& json) {
  std::string out;
  WriteJson(out, json);
  return out;
}

std::string ToText(const DataValue& value, Encoding encoding) {
  std::string out;
  WriteValue(out, value, encoding);
  return out;
}

Basalt::Result<Data::ValuePtr, std::string> FromJson(const json_t& json, int depth) {
  if (depth > kMaxDepth) {
    return Basalt::Unexpected{"nesting deeper than " + std::to_string(kMaxDepth) + " levels"};
  }
  switch (json_typeof(&json)) {
    case JSON_NULL:
      return Data::NullValue::Get();
    case JSON_TRUE:
      return Data::BooleanValue::Create(true);
    case JSON_FALSE:
      return Data::BooleanValue::Create(false);
    case JSON_INTEGER:
      return Data::IntegerValue::Create(json_integer_value(&json));
    case JSON_REAL:
      return std::make_shared<Data::RealValue>(json_real_value(&json));
    case JSON_STRING:
      return Data::StringValue::Create(
          std::string(json_string_value(&json), json_string_length(&json)));
    case JSON_ARRAY: {
      auto list = Data::ListValue::Create();
      size_t index;
      json_t* item;
      json_array_foreach(&json, index, item) {
        auto value = FromJson(*item, depth + 1);
        if (!value) return value;
        list->Add(std::move(*value));
      }
      return list;
    }
    case JSON_OBJECT: {
      std::string name;
      if (json_t* type = json_object_get(&json, "_type")) {
        // The whole text, NUL bytes included: a cut name could pass for another structure's.
        if (!json_is_string(type) || json_string_length(type) == 0) {
          return Basalt::Unexpected{std::string("\"_type\" must be a non-empty string")};
        }
        name.assign(json_string_value(type), json_string_length(type));
      }
      auto object = Data::StructValue::GetInstance(name);
      const char* key;
      json_t* member;
      json_object_foreach(const_cast<json_t*>(&json), key, member) {
        if (std::string_view(key) == "_type") continue;
        auto value = FromJson(*member, depth + 1);
        if (!value) return value;
        object->AppendField(key, std::move(*value));
      }
      return object;
    }
  }
  return Basalt::Unexpected{std::string("unsupported JSON value")};
}

}  // namespace Orbi::Json
