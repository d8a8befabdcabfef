// Types of the client profiles service interface ("com.tessel.nox.authentication.client_profiles")
// shared by its implementation and the client profile store. Enumerations travel as their names.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bindings/bindingEnum.h"

namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc {

struct SubjectTypeTraits {
  enum Value { LOCAL_USER = 0, EXTERNAL_GROUP = 1, EXTERNAL_USER = 2, UNKNOWN = 3 };
  static constexpr std::array<std::string_view, UNKNOWN> kNames = {"LOCAL_USER", "EXTERNAL_GROUP",
                                                                   "EXTERNAL_USER"};
};
using SubjectType = Bindings::BindingEnum<SubjectTypeTraits>;

struct ResourceTypeTraits {
  enum Value { HOST = 0, UNKNOWN = 1 };
  static constexpr std::array<std::string_view, UNKNOWN> kNames = {"HOST"};
};
using ResourceType = Bindings::BindingEnum<ResourceTypeTraits>;

// ADMINISTRATOR is the management entitlement.
struct EntitlementTraits {
  enum Value { ADMINISTRATOR = 0, OPERATOR = 1, READ_ONLY = 2, UNKNOWN = 3 };
  static constexpr std::array<std::string_view, UNKNOWN> kNames = {"ADMINISTRATOR", "OPERATOR",
                                                                   "READ_ONLY"};
};
using Entitlement = Bindings::BindingEnum<EntitlementTraits>;

// Wire structure "subject": type, name?, issuer_alias?, domain?.
struct Subject {
  SubjectType type;
  std::optional<std::string> name;
  std::optional<std::string> issuerAlias;
  std::optional<std::string> domain;
};

// Wire structure "access_grant": resource_type, entitlement?.
struct AccessGrant {
  ResourceType resourceType;
  std::optional<Entitlement> entitlement;
};

using GrantList = std::vector<std::shared_ptr<AccessGrant>>;

// Wire structure "info": one client profile. The subject never changes once the profile exists.
struct Info {
  std::shared_ptr<const Subject> subject;
  GrantList grants;
};

// What list fills into each summary: FULL (value 0) name, subject and grants; SUBJECT (1, the
// default) name and subject; NAME (2) the name only.
struct ProjectionTraits {
  enum Value { FULL = 0, SUBJECT = 1, NAME = 2, UNKNOWN = 3 };
  static constexpr std::array<std::string_view, UNKNOWN> kNames = {"FULL", "SUBJECT", "NAME"};
};
using Projection = Bindings::BindingEnum<ProjectionTraits>;

// Wire structure "create_spec". The first subject name given decides the subject type, in the
// order local user, external group, external user.
struct CreateSpec {
  std::optional<std::string> localUser;
  std::optional<std::string> externalGroup;
  std::optional<std::string> externalUser;
  std::optional<std::string> issuerAlias;
  std::optional<std::string> domain;
  GrantList grants;
};

// Wire structure "filter_spec" of list.
struct FilterSpec {
  std::optional<std::string> localUser;
  std::optional<std::string> externalGroup;
  std::optional<std::string> externalUser;
  std::optional<std::string> issuerAlias;
  std::optional<std::string> domain;
};

// Wire structure "set_spec": the grants that replace a profile's grants.
struct SetSpec {
  GrantList grants;
};

// Wire structure "summary", one per listed profile; what is set follows the projection.
struct Summary {
  Projection projection;
  std::string profile;
  std::shared_ptr<const Subject> subject;  // null: unset
  std::optional<GrantList> grants;
};

}  // namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc
