// Data values exchanged between the protocol layer, providers and services. Values are immutable
// once handed on and shared by std::shared_ptr.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

namespace Orbi::Data {

class DataValue;
using ValuePtr = std::shared_ptr<const DataValue>;

class DataValue {
 public:
  enum class Kind { Null, Void, String, Integer, Real, Boolean, List, Struct, Error };
  virtual ~DataValue() = default;
  virtual Kind GetKind() const = 0;
  // Compact JSON-like text for logs (structures without "_type").
  std::string ToString() const;
};

class NullValue final : public DataValue {
 public:
  static ValuePtr Get();
  Kind GetKind() const override { return Kind::Null; }
};

// The output of an operation that returns nothing.
class VoidValue final : public DataValue {
 public:
  static ValuePtr Get();
  Kind GetKind() const override { return Kind::Void; }
};

class StringValue final : public DataValue {
 public:
  explicit StringValue(std::string value) : value_(std::move(value)) {}
  static std::shared_ptr<StringValue> Create(std::string value);
  Kind GetKind() const override { return Kind::String; }
  const std::string& GetValue() const { return value_; }

 private:
  std::string value_;
};

class IntegerValue final : public DataValue {
 public:
  explicit IntegerValue(int64_t value) : value_(value) {}
  static std::shared_ptr<IntegerValue> Create(int64_t value);
  Kind GetKind() const override { return Kind::Integer; }
  int64_t GetValue() const { return value_; }

 private:
  int64_t value_;
};

// Only ever produced by decoding input; no operation accepts it.
class RealValue final : public DataValue {
 public:
  explicit RealValue(double value) : value_(value) {}
  Kind GetKind() const override { return Kind::Real; }
  double GetValue() const { return value_; }

 private:
  double value_;
};

class BooleanValue final : public DataValue {
 public:
  explicit BooleanValue(bool value) : value_(value) {}
  static std::shared_ptr<BooleanValue> Create(bool value);
  Kind GetKind() const override { return Kind::Boolean; }
  bool GetValue() const { return value_; }

 private:
  bool value_;
};

class ListValue final : public DataValue {
 public:
  ListValue() = default;
  explicit ListValue(std::vector<ValuePtr> items) : items_(std::move(items)) {}
  static std::shared_ptr<ListValue> Create(std::vector<ValuePtr> items = {});
  Kind GetKind() const override { return Kind::List; }
  const std::vector<ValuePtr>& GetItems() const { return items_; }
  void Add(ValuePtr item) { items_.push_back(std::move(item)); }

 private:
  std::vector<ValuePtr> items_;
};

// A structure: a qualified name and fields in declaration order. An empty name makes it a plain
// map (no "_type" on the wire). A field holding NullValue is an unset optional.
class StructValue : public DataValue {
 public:
  explicit StructValue(std::string name) : name_(std::move(name)) {}
  static std::shared_ptr<StructValue> GetInstance(std::string name);
  Kind GetKind() const override { return Kind::Struct; }

  const std::string& GetName() const { return name_; }
  // True when the field exists and is not null.
  bool HasField(const std::string& field) const;
  // The field's value, or nullptr when absent or null.
  ValuePtr GetField(const std::string& field) const;
  // Convenience typed readers: nullptr when absent, null or of another kind.
  const std::string* GetString(const std::string& field) const;
  void SetField(const std::string& field, ValuePtr value);
  // Appends without looking for an existing field: for decoders whose keys are already unique.
  void AppendField(std::string field, ValuePtr value);
  // Room for `count` fields in all, for builders that know how many they may set: each field
  // beyond the room moves the others.
  void ReserveFields(size_t count) { fields_.reserve(count); }
  const std::vector<std::pair<std::string, ValuePtr>>& GetFields() const { return fields_; }

 private:
  // The value held under `field` (which may itself be null), or nullptr when there is no such
  // field.
  const ValuePtr* Held(const std::string& field) const {
    for (const auto& entry : fields_) {
      if (entry.first == field) return &entry.second;
    }
    return nullptr;
  }

  std::string name_;
  std::vector<std::pair<std::string, ValuePtr>> fields_;
};

// A structure with the error members "error_type", "messages" and "data".
class ErrorValue final : public StructValue {
 public:
  using StructValue::StructValue;
  Kind GetKind() const override { return Kind::Error; }
  // The part of the qualified name after "com.tessel.orbi.std.errors.", e.g. "not_found".
  std::string GetErrorKind() const;
};

template <class T>
std::shared_ptr<const T> As(const ValuePtr& value) {
  // A final type is matched by its type alone, without walking the hierarchy.
  if constexpr (std::is_final_v<T>) {
    if (!value) return nullptr;
    const DataValue& held = *value;
    if (typeid(held) != typeid(T)) return nullptr;
    return std::static_pointer_cast<const T>(value);
  } else {
    return std::dynamic_pointer_cast<const T>(value);
  }
}

}  // namespace Orbi::Data
