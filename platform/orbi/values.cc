#include "platform/orbi/values.h"

#include "platform/orbi/frameworkIds.h"
#include "platform/orbi/json.h"

namespace Orbi::Data {

std::string DataValue::ToString() const { return Json::ToText(*this, Json::Encoding::kClean); }

ValuePtr NullValue::Get() {
  static const ValuePtr instance = std::make_shared<NullValue>();
  return instance;
}

ValuePtr VoidValue::Get() {
  static const ValuePtr instance = std::make_shared<VoidValue>();
  return instance;
}

std::shared_ptr<StringValue> StringValue::Create(std::string value) {
  return std::make_shared<StringValue>(std::move(value));
}

std::shared_ptr<IntegerValue> IntegerValue::Create(int64_t value) {
  return std::make_shared<IntegerValue>(value);
}

std::shared_ptr<BooleanValue> BooleanValue::Create(bool value) {
  return std::make_shared<BooleanValue>(value);
}

std::shared_ptr<ListValue> ListValue::Create(std::vector<ValuePtr> items) {
  return std::make_shared<ListValue>(std::move(items));
}

std::shared_ptr<StructValue> StructValue::GetInstance(std::string name) {
  return std::make_shared<StructValue>(std::move(name));
}

bool StructValue::HasField(const std::string& field) const { return GetField(field) != nullptr; }

ValuePtr StructValue::GetField(const std::string& field) const {
  const ValuePtr* held = Held(field);
  return held && *held && (*held)->GetKind() != Kind::Null ? *held : nullptr;
}

const std::string* StructValue::GetString(const std::string& field) const {
  const ValuePtr* held = Held(field);
  return held && *held && (*held)->GetKind() == Kind::String
             ? &static_cast<const StringValue&>(**held).GetValue()
             : nullptr;
}

void StructValue::SetField(const std::string& field, ValuePtr value) {
  if (!value) value = NullValue::Get();
  for (auto& [name, existing] : fields_) {
    if (name == field) {
      existing = std::move(value);
      return;
    }
  }
  fields_.emplace_back(field, std::move(value));
}

void StructValue::AppendField(std::string field, ValuePtr value) {
  fields_.emplace_back(std::move(field), value ? std::move(value) : NullValue::Get());
}

std::string ErrorValue::GetErrorKind() const {
  static const std::string prefix = Ids::kErrorNamePrefix;
  const std::string& name = GetName();
  return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
}

}  // namespace Orbi::Data
