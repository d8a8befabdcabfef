#include "platform/orbi/types.h"

namespace Orbi::Bind {

using Data::DataValue;
using Data::ValuePtr;

TypePtr Type::Void() {
  static const auto t = std::make_shared<const Type>(Kind::kVoid, nullptr, nullptr, nullptr);
  return t;
}
TypePtr Type::String() {
  static const auto t = std::make_shared<const Type>(Kind::kString, nullptr, nullptr, nullptr);
  return t;
}
TypePtr Type::Integer() {
  static const auto t = std::make_shared<const Type>(Kind::kInteger, nullptr, nullptr, nullptr);
  return t;
}
TypePtr Type::Boolean() {
  static const auto t = std::make_shared<const Type>(Kind::kBoolean, nullptr, nullptr, nullptr);
  return t;
}
TypePtr Type::List(TypePtr element) {
  return std::make_shared<const Type>(Kind::kList, std::move(element), nullptr, nullptr);
}
TypePtr Type::Optional(TypePtr element) {
  return std::make_shared<const Type>(Kind::kOptional, std::move(element), nullptr, nullptr);
}
TypePtr Type::Struct(std::shared_ptr<const StructDef> def) {
  return std::make_shared<const Type>(Kind::kStruct, nullptr, std::move(def), nullptr);
}
TypePtr Type::Enum(std::shared_ptr<const EnumDef> def) {
  return std::make_shared<const Type>(Kind::kEnum, nullptr, nullptr, std::move(def));
}

namespace {

std::string DescribeFields(const std::vector<std::pair<std::string, TypePtr>>& fields) {
  std::string out = "{";
  for (size_t i = 0; i < fields.size(); ++i) {
    out += i ? ", " : " ";
    out += fields[i].first + ": " + fields[i].second->Describe();
  }
  out += fields.empty() ? "}" : " }";
  return out;
}

}  // namespace

std::string Type::Describe() const {
  switch (kind_) {
    case Kind::kVoid:
      return "void";
    case Kind::kString:
      return "string";
    case Kind::kInteger:
      return "long";
    case Kind::kBoolean:
      return "boolean";
    case Kind::kList:
      return "list<" + element_->Describe() + ">";
    case Kind::kOptional:
      return "optional<" + element_->Describe() + ">";
    case Kind::kStruct:
      return "structure " + struct_->qualifiedName + " " + DescribeFields(struct_->fields);
    case Kind::kEnum: {
      std::string out = "enum " + enum_->qualifiedName + " {";
      for (size_t i = 0; i < enum_->values.size(); ++i) out += (i ? ", " : " ") + enum_->values[i];
      return out + " }";
    }
  }
  return "unknown";
}

const char* Describe(Admission admission) {
  switch (admission) {
    case Admission::kAnyone:
      return "anyone";
    case Admission::kCredentialExchange:
      return "credential exchange";
    case Admission::kManagement:
      return "management";
    case Admission::kUndeclared:
      break;
  }
  return "undeclared";
}

const OperationDef* ServiceDef::FindOperation(const std::string& name) const {
  for (const auto& op : operations) {
    if (op.name == name) return &op;
  }
  return nullptr;
}

std::string ServiceDef::DescribeInput(const OperationDef& op) const {
  return "structure " + id + "." + op.name + ".input " + DescribeFields(op.params);
}

std::shared_ptr<const StructDef> MakeStruct(const std::string& serviceId, const std::string& name,
                                            std::vector<std::pair<std::string, TypePtr>> fields) {
  return std::make_shared<const StructDef>(StructDef{serviceId + "." + name, std::move(fields)});
}

std::shared_ptr<const EnumDef> MakeEnum(const std::string& serviceId, const std::string& name,
                                        std::vector<std::string> values) {
  return std::make_shared<const EnumDef>(EnumDef{serviceId + "." + name, std::move(values)});
}

namespace {

struct Binder {
  std::string path;
  std::string reason;
  bool input = false;  // binding a call's input rather than completing an output

  ValuePtr Fail(const std::string& at, std::string why) {
    path = at;
    reason = std::move(why);
    return nullptr;
  }

  static const char* KindText(DataValue::Kind kind) {
    switch (kind) {
      case DataValue::Kind::Null:
        return "null";
      case DataValue::Kind::Void:
        return "nothing";
      case DataValue::Kind::String:
        return "a string";
      case DataValue::Kind::Integer:
        return "an integer";
      case DataValue::Kind::Real:
        return "a real number";
      case DataValue::Kind::Boolean:
        return "a boolean";
      case DataValue::Kind::List:
        return "a list";
      case DataValue::Kind::Struct:
      case DataValue::Kind::Error:
        return "an object";
    }
    return "a value";
  }

  ValuePtr Mismatch(const std::string& at, const char* expected, const ValuePtr& got) {
    return Fail(at, std::string("expected ") + expected + ", got " + KindText(got->GetKind()));
  }

  ValuePtr Bind(const Type& type, const ValuePtr& value, const std::string& at) {
    if (!value) return Fail(at, "missing value");
    auto kind = value->GetKind();
    switch (type.GetKind()) {
      case Type::Kind::kVoid:
        return Data::VoidValue::Get();
      case Type::Kind::kString:
        return kind == DataValue::Kind::String ? value : Mismatch(at, "a string", value);
      case Type::Kind::kEnum:
        if (kind != DataValue::Kind::String) return Mismatch(at, "a string", value);
        return input ? BindEnumName(type.GetEnum(), value, at) : value;
      case Type::Kind::kInteger:
        return kind == DataValue::Kind::Integer ? value : Mismatch(at, "an integer", value);
      case Type::Kind::kBoolean:
        return kind == DataValue::Kind::Boolean ? value : Mismatch(at, "a boolean", value);
      case Type::Kind::kOptional:
        if (kind == DataValue::Kind::Null) return value;
        return Bind(*type.GetElement(), value, at);
      case Type::Kind::kList: {
        auto list = Data::As<Data::ListValue>(value);
        if (!list) return Mismatch(at, "a list", value);
        auto bound = Data::ListValue::Create();
        const auto& items = list->GetItems();
        for (size_t i = 0; i < items.size(); ++i) {
          auto item = Bind(*type.GetElement(), items[i], at + "[" + std::to_string(i) + "]");
          if (!item) return nullptr;
          bound->Add(std::move(item));
        }
        return bound;
      }
      case Type::Kind::kStruct:
        return BindStruct(type.GetStruct(), value, at);
    }
    return Fail(at, "unsupported type");
  }

  ValuePtr BindEnumName(const EnumDef& def, const ValuePtr& value, const std::string& at) {
    if (!def.refusesUnknownInput) return value;
    const std::string& name = Data::As<Data::StringValue>(value)->GetValue();
    std::string names;
    for (const auto& known : def.values) {
      if (known == name) return value;
      names += (names.empty() ? "" : ", ") + known;
    }
    return Fail(at, "unknown name \"" + name + "\", expected one of " + names);
  }

  ValuePtr BindStruct(const StructDef& def, const ValuePtr& value, const std::string& at) {
    auto object = Data::As<Data::StructValue>(value);
    if (!object || kind(value) == DataValue::Kind::Error) return Mismatch(at, "an object", value);
    if (!object->GetName().empty() && object->GetName() != def.qualifiedName) {
      return Fail(
          at, "\"_type\" is \"" + object->GetName() + "\", expected \"" + def.qualifiedName + "\"");
    }
    return BindMembers(def.qualifiedName, def.fields, *object, at);
  }

  ValuePtr BindMembers(const std::string& name,
                       const std::vector<std::pair<std::string, TypePtr>>& fields,
                       const Data::StructValue& object, const std::string& at) {
    for (const auto& [member, ignored] : object.GetFields()) {
      bool known = false;
      for (const auto& field : fields) known = known || field.first == member;
      if (!known) return Fail(at + "." + member, "unknown member");
    }
    auto bound = Data::StructValue::GetInstance(name);
    for (const auto& [field, fieldType] : fields) {
      ValuePtr member = object.GetField(field);
      if (!member) {
        if (fieldType->GetKind() != Type::Kind::kOptional) {
          return Fail(at + "." + field, "required member missing");
        }
        bound->AppendField(field, Data::NullValue::Get());
        continue;
      }
      auto boundMember = Bind(*fieldType, member, at + "." + field);
      if (!boundMember) return nullptr;
      bound->AppendField(field, std::move(boundMember));
    }
    return bound;
  }

  static DataValue::Kind kind(const ValuePtr& value) { return value->GetKind(); }
};

}  // namespace

Basalt::Result<std::shared_ptr<const Data::StructValue>, Mismatch> BindInput(
    const OperationDef& op, const ValuePtr& input) {
  Binder binder;
  binder.input = true;
  ValuePtr value = input ? input : Data::StructValue::GetInstance("");
  auto object = Data::As<Data::StructValue>(value);
  if (!object) {
    binder.Mismatch("input", "an object", value);
    return Basalt::Unexpected{Mismatch{binder.path, binder.reason}};
  }
  // The input is the parameters by name, not a structure: no "_type" names it.
  if (!object->GetName().empty()) {
    return Basalt::Unexpected{Mismatch{
        "input", "\"_type\" is \"" + object->GetName() + "\", but the input is not a structure"}};
  }
  auto bound = binder.BindMembers("", op.params, *object, "input");
  if (!bound) return Basalt::Unexpected{Mismatch{binder.path, binder.reason}};
  return Data::As<Data::StructValue>(bound);
}

Basalt::Result<ValuePtr, std::string> CompleteOutput(const Type& type, const ValuePtr& value) {
  Binder binder;
  ValuePtr out = value ? value : Data::VoidValue::Get();
  if (type.GetKind() != Type::Kind::kVoid && out->GetKind() == DataValue::Kind::Void) {
    return Basalt::Unexpected{"no output for a " + type.Describe()};
  }
  auto completed = binder.Bind(type, out, "output");
  if (!completed) return Basalt::Unexpected{binder.path + ": " + binder.reason};
  return completed;
}

}  // namespace Orbi::Bind
