// Declarations of services as data: structures, enumerations, operations and their types. Input
// checking, output completion and the introspection answers are all derived from them.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/basalt/result.h"
#include "platform/orbi/values.h"

namespace Orbi::Bind {

class Type;
using TypePtr = std::shared_ptr<const Type>;

struct StructDef {
  std::string qualifiedName;
  std::vector<std::pair<std::string, TypePtr>> fields;
};

struct EnumDef {
  std::string qualifiedName;
  std::vector<std::string> values;
  // Input naming another value is refused as a mismatch; otherwise it is carried as text, for
  // the service to judge (outputs are never checked against `values`).
  bool refusesUnknownInput = false;
};

class Type {
 public:
  enum class Kind { kVoid, kString, kInteger, kBoolean, kList, kOptional, kStruct, kEnum };

  static TypePtr Void();
  static TypePtr String();
  static TypePtr Integer();
  static TypePtr Boolean();
  static TypePtr List(TypePtr element);
  static TypePtr Optional(TypePtr element);
  static TypePtr Struct(std::shared_ptr<const StructDef> def);
  static TypePtr Enum(std::shared_ptr<const EnumDef> def);

  Kind GetKind() const { return kind_; }
  const TypePtr& GetElement() const { return element_; }
  const StructDef& GetStruct() const { return *struct_; }
  const EnumDef& GetEnum() const { return *enum_; }

  // Readable description for introspection: "list<optional<string>>", "structure x { a: long }".
  std::string Describe() const;

  Type(Kind kind, TypePtr element, std::shared_ptr<const StructDef> s,
       std::shared_ptr<const EnumDef> e)
      : kind_(kind), element_(std::move(element)), struct_(std::move(s)), enum_(std::move(e)) {}

 private:
  Kind kind_;
  TypePtr element_;
  std::shared_ptr<const StructDef> struct_;
  std::shared_ptr<const EnumDef> enum_;
};

// Who may call an operation; the authorization filter in front of the services reads it. An
// operation whose declaration names none is refused to every caller: a new operation is never
// served open by omission.
enum class Admission {
  kUndeclared,
  kAnyone,              // no check (verification, introspection)
  kCredentialExchange,  // any credential but a daemon token, which may not renew itself
  kManagement,          // a daemon token that carries the management entitlement
};

// "anyone", "credential exchange", "management", "undeclared": for logs and tests.
const char* Describe(Admission admission);

struct OperationDef {
  std::string name;
  std::vector<std::pair<std::string, TypePtr>> params;
  TypePtr result;
  Admission admission = Admission::kUndeclared;
};

struct ServiceDef {
  std::string id;
  std::vector<OperationDef> operations;

  const OperationDef* FindOperation(const std::string& name) const;
  // Description of the parameters as one structure, for introspection.
  std::string DescribeInput(const OperationDef& op) const;
};

// Builds a structure definition named "<service>.<name>".
std::shared_ptr<const StructDef> MakeStruct(const std::string& serviceId, const std::string& name,
                                            std::vector<std::pair<std::string, TypePtr>> fields);
std::shared_ptr<const EnumDef> MakeEnum(const std::string& serviceId, const std::string& name,
                                        std::vector<std::string> values);

// Checks an untyped input value against the operation's parameters and returns a structure of
// the parameters (unset optionals as null, structures named by their definitions). A "_type"
// must name the declared structure; the input itself is not one and takes none; an enumeration
// that refuses unknown input must be given one of its names. A mismatch is refused with where
// (e.g. "input.spec.grants[0].resource_type") and why.
struct Mismatch {
  std::string path;
  std::string reason;
};
Basalt::Result<std::shared_ptr<const Data::StructValue>, Mismatch> BindInput(
    const OperationDef& op, const Data::ValuePtr& input);

// Completes an output value against its type: unset optional members are added as null.
// Refused with the reason when the value does not fit (a defect of the service).
Basalt::Result<Data::ValuePtr, std::string> CompleteOutput(const Type& type,
                                                           const Data::ValuePtr& value);

}  // namespace Orbi::Bind
