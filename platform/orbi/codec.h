// Typed declarations of a service's structures and enumerations, and the codec they yield
// between the service's own C++ types and data values.
//
// A structure or enumeration is declared once, by a function `DeclareBinding(T*)` found by
// argument-dependent lookup (so it lives in T's namespace, or the namespace of an enumeration's
// traits):
//
//   Orbi::Bind::StructDecl<Subject> DeclareBinding(Subject*) {
//     return {kServiceId, "subject", Field("type", &Subject::type), Field("name", &Subject::name)};
//   }
//   Orbi::Bind::EnumDecl DeclareBinding(SubjectType*) { return {kServiceId, "subject_type"}; }
//
// From it `Codec<T>` derives the wire type (for input checking and introspection), decoding and
// encoding. Member types: std::string, int64_t, bool, std::optional<T> (optional), std::vector<T>
// (list), std::shared_ptr<T> / std::shared_ptr<const T> (a structure; required unless declared
// with OptionalField), declared structures and enumerations. A type without a codec does not
// compile. Enumerations are classes with `FromString`, `ToString` and `kNames` (see
// platform/bindings/bindingEnum.h); a name not in `kNames` decodes to the unknown value.
//
// Decoding expects a value that the wire type has already accepted (the local provider checks
// input before dispatch); anything else throws Basalt::Exception. Declarations are immutable and
// cached on first use; all functions are thread-safe.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/basalt/exception.h"
#include "platform/orbi/types.h"
#include "platform/orbi/values.h"

namespace Orbi::Bind {

template <class T>
struct Codec;  // no codec: the type has no declaration

template <class T>
concept Enumeration = requires(const T& value, std::string_view text) {
  { T::FromString(text) } -> std::same_as<T>;
  { value.ToString() } -> std::convertible_to<std::string>;
  T::kNames.size();
};

namespace Detail {

template <class T>
const T& Expect(const Data::ValuePtr& value, const char* what) {
  auto typed = Data::As<T>(value);
  if (!typed) throw Basalt::Exception(std::string("binding: expected ") + what);
  return *typed;
}

// A scalar held by value class V (StringValue, IntegerValue, BooleanValue).
template <class T, class V>
struct ScalarCodec {
  static T Decode(const Data::ValuePtr& v) { return Expect<V>(v, "a scalar").GetValue(); }
  static Data::ValuePtr Encode(const T& v) { return V::Create(v); }
};

}  // namespace Detail

// One member of a structure: its wire name, how to read it from a value and write it into one.
template <class S>
struct FieldDecl {
  std::string name;
  std::function<TypePtr()> wireType;
  std::function<void(S&, const Data::ValuePtr&)> decode;
  std::function<Data::ValuePtr(const S&)> encode;
};

template <class S, class M>
FieldDecl<S> Field(std::string name, M S::*member) {
  return {std::move(name), [] { return Codec<M>::WireType(); },
          [member](S& object, const Data::ValuePtr& value) {
            object.*member = Codec<M>::Decode(value);
          },
          [member](const S& object) { return Codec<M>::Encode(object.*member); }};
}

// A structure member held by a shared pointer that may be unset (null on the wire).
template <class S, class T>
FieldDecl<S> OptionalField(std::string name, std::shared_ptr<T> S::*member) {
  auto field = Field(std::move(name), member);
  field.wireType = [] { return Type::Optional(Codec<std::shared_ptr<T>>::WireType()); };
  return field;
}

// The declaration of structure S: "<serviceId>.<name>" and its members in wire order.
template <class S>
struct StructDecl {
  StructDecl(std::string_view serviceId, std::string_view name, std::vector<FieldDecl<S>> f)
      : qualifiedName(std::string(serviceId) + "." + std::string(name)), fields(std::move(f)) {}
  template <class... F>
  StructDecl(std::string_view serviceId, std::string_view name, FieldDecl<S> first, F... rest)
      : StructDecl(serviceId, name,
                   std::vector<FieldDecl<S>>{std::move(first), std::move(rest)...}) {}

  std::string qualifiedName;
  std::vector<FieldDecl<S>> fields;
};

// The declaration of an enumeration: "<serviceId>.<name>"; its value names are the type's kNames.
// Input with another name decodes to the unknown value, unless the declaration refuses it (then
// the call is refused as invalid input naming the member, before the service sees it).
enum class UnknownInput { kKept, kRefused };
struct EnumDecl {
  EnumDecl(std::string_view serviceId, std::string_view name,
           UnknownInput unknown = UnknownInput::kKept)
      : qualifiedName(std::string(serviceId) + "." + std::string(name)), unknownInput(unknown) {}
  std::string qualifiedName;
  UnknownInput unknownInput;
};

template <class T>
concept DeclaredStructure = requires(T* p) {
  { DeclareBinding(p) } -> std::same_as<StructDecl<T>>;
};

template <>
struct Codec<std::string> : Detail::ScalarCodec<std::string, Data::StringValue> {
  static TypePtr WireType() { return Type::String(); }
};

template <>
struct Codec<int64_t> : Detail::ScalarCodec<int64_t, Data::IntegerValue> {
  static TypePtr WireType() { return Type::Integer(); }
};

template <>
struct Codec<bool> : Detail::ScalarCodec<bool, Data::BooleanValue> {
  static TypePtr WireType() { return Type::Boolean(); }
};

// Absent and null are both the unset value.
template <class T>
struct Codec<std::optional<T>> {
  static TypePtr WireType() { return Type::Optional(Codec<T>::WireType()); }
  static std::optional<T> Decode(const Data::ValuePtr& v) {
    if (!v || v->GetKind() == Data::DataValue::Kind::Null) return std::nullopt;
    return Codec<T>::Decode(v);
  }
  static Data::ValuePtr Encode(const std::optional<T>& v) {
    return v ? Codec<T>::Encode(*v) : Data::NullValue::Get();
  }
};

template <class T>
struct Codec<std::vector<T>> {
  static TypePtr WireType() { return Type::List(Codec<T>::WireType()); }
  static std::vector<T> Decode(const Data::ValuePtr& v) {
    std::vector<T> items;
    for (const auto& item : Detail::Expect<Data::ListValue>(v, "a list").GetItems()) {
      items.push_back(Codec<T>::Decode(item));
    }
    return items;
  }
  static Data::ValuePtr Encode(const std::vector<T>& v) {
    auto list = Data::ListValue::Create();
    for (const auto& item : v) list->Add(Codec<T>::Encode(item));
    return list;
  }
};

// A null pointer is null on the wire; the wire type says whether that is allowed.
template <class T>
struct Codec<std::shared_ptr<T>> {
  using Plain = std::remove_const_t<T>;
  static TypePtr WireType() { return Codec<Plain>::WireType(); }
  static std::shared_ptr<T> Decode(const Data::ValuePtr& v) {
    if (!v || v->GetKind() == Data::DataValue::Kind::Null) return nullptr;
    return std::make_shared<Plain>(Codec<Plain>::Decode(v));
  }
  static Data::ValuePtr Encode(const std::shared_ptr<T>& v) {
    return v ? Codec<Plain>::Encode(*v) : Data::NullValue::Get();
  }
};

template <Enumeration E>
struct Codec<E> {
  static TypePtr WireType() {
    static const TypePtr type = [] {
      std::vector<std::string> names(E::kNames.begin(), E::kNames.end());
      EnumDecl decl = DeclareBinding(static_cast<E*>(nullptr));
      auto def = std::make_shared<const EnumDef>(EnumDef{
          decl.qualifiedName, std::move(names), decl.unknownInput == UnknownInput::kRefused});
      return Type::Enum(std::move(def));
    }();
    return type;
  }
  static E Decode(const Data::ValuePtr& v) {
    return E::FromString(Detail::Expect<Data::StringValue>(v, "a name").GetValue());
  }
  static Data::ValuePtr Encode(const E& v) { return Data::StringValue::Create(v.ToString()); }
};

template <DeclaredStructure S>
struct Codec<S> {
  static const StructDecl<S>& Declaration() {
    static const StructDecl<S> decl = [] {
      auto d = DeclareBinding(static_cast<S*>(nullptr));
      std::set<std::string> names;
      for (const auto& field : d.fields) {
        if (field.name.empty() || !names.insert(field.name).second) {
          throw Basalt::Exception("binding: " + d.qualifiedName + " declares the member \"" +
                                  field.name + "\" twice or empty");
        }
      }
      return d;
    }();
    return decl;
  }
  static TypePtr WireType() {
    static const TypePtr type = [] {
      const auto& decl = Declaration();
      std::vector<std::pair<std::string, TypePtr>> fields;
      for (const auto& field : decl.fields) fields.emplace_back(field.name, field.wireType());
      return Type::Struct(
          std::make_shared<const StructDef>(StructDef{decl.qualifiedName, std::move(fields)}));
    }();
    return type;
  }
  static S Decode(const Data::ValuePtr& v) {
    const auto& object = Detail::Expect<Data::StructValue>(v, "a structure");
    S out{};
    for (const auto& field : Declaration().fields) field.decode(out, object.GetField(field.name));
    return out;
  }
  static Data::ValuePtr Encode(const S& v) {
    const auto& decl = Declaration();
    auto object = Data::StructValue::GetInstance(decl.qualifiedName);
    for (const auto& field : decl.fields) object->AppendField(field.name, field.encode(v));
    return object;
  }
};

}  // namespace Orbi::Bind
