// The authentication data an authentication handler leaves in a call's context: the names of the
// structure and its fields, spelt once, with a builder for handlers and a reader for services and
// filters. The value itself stays a plain structure value.
//
// Fields: "username" (every handler); "issuerAlias", "domain" and "StsGroups" (external callers;
// a list of "StsGroup" structures with "name" and "domain"); "accessToken" and the entitlement
// list (daemon tokens). "issuerAlias" marks a caller as external.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/basalt/result.h"
#include "platform/orbi/values.h"

namespace Nox::Authn::AuthnData {

// Structure names, by the handler that builds them.
inline constexpr const char* kUserPassResult = "BasaltUserPass";
inline constexpr const char* kExternalJwtResult = "ExternalJwtAuthentication";
inline constexpr const char* kSamlTokenResult = "SamlToken";
inline constexpr const char* kOwnTokenResult = "NoxtokendJWTAuthentication";
inline constexpr const char* kStsGroupStruct = "StsGroup";

// Field names.
inline constexpr const char* kUsername = "username";
inline constexpr const char* kIssuerAlias = "issuerAlias";
inline constexpr const char* kDomain = "domain";
inline constexpr const char* kStsGroups = "StsGroups";
inline constexpr const char* kGroupName = "name";
inline constexpr const char* kGroupDomain = "domain";
inline constexpr const char* kAccessToken = "accessToken";
inline constexpr const char* kEntitlementGrants = "entitlementGrants";

struct StsGroup {
  std::string name;
  std::string domain;
};

// Sets fields in call order (a field set twice keeps its first place). Not thread-safe; the
// value is handed on once built.
class Builder {
 public:
  explicit Builder(const std::string& structName);
  // Continues an existing structure, e.g. to enrich what a handler produced.
  explicit Builder(std::shared_ptr<Orbi::Data::StructValue> existing);

  Builder& Username(const std::string& value);
  Builder& IssuerAlias(const std::string& value);
  Builder& Domain(const std::string& value);
  Builder& Groups(const std::vector<StsGroup>& groups);
  Builder& AccessToken(const std::string& value);
  Builder& Entitlements(const std::vector<std::string>& names);

  std::shared_ptr<Orbi::Data::StructValue> Build() const { return value_; }

 private:
  std::shared_ptr<Orbi::Data::StructValue> value_;
};

// Why a caller's entitlements cannot be read.
enum class EntitlementsProblem {
  kUnavailable,  // no structure, or no entitlement field
  kNotAList,     // the field is there but is not a list
};

// Reads what a handler left; every accessor copes with absent or ill-typed data. Holds the value.
class Reader {
 public:
  explicit Reader(Orbi::Data::ValuePtr authnResult);

  // Any authentication data at all.
  bool IsAuthenticated() const { return value_ != nullptr; }
  // Authenticated through an external issuer (the data names an issuer alias).
  bool IsExternal() const { return IssuerAlias() != nullptr; }

  // nullptr when absent or not a string.
  const std::string* Username() const;
  const std::string* IssuerAlias() const;
  const std::string* Domain() const;
  const std::string* AccessToken() const;

  // The groups; items that are not "StsGroup"-like structures are skipped, missing texts empty.
  // Empty when the field is absent.
  std::vector<StsGroup> Groups() const;
  // The same groups, in order, as visit(name, domain) on the texts held: nothing copied.
  void ForEachGroup(const std::function<void(const std::string&, const std::string&)>& visit) const;
  // The data holds a group list (possibly empty).
  bool HasGroups() const;

  // The string elements of the entitlement list, in order; other elements are skipped.
  Basalt::Result<std::vector<std::string>, EntitlementsProblem> Entitlements() const;

 private:
  const std::string* String(const char* field) const;
  std::shared_ptr<const Orbi::Data::ListValue> GroupList() const;  // nullptr when absent

  Orbi::Data::ValuePtr value_;
  std::shared_ptr<const Orbi::Data::StructValue> struct_;
};

}  // namespace Nox::Authn::AuthnData
