// The wire contract of the management services as their declarations produce it, one round trip
// through the local provider, and the enumerations' handling of names they do not know.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "platform/bindings/clientProfiles.h"
#include "platform/bindings/clientProfilesSvc.h"
#include "platform/bindings/securityTokenIssuersSvc.h"
#include "platform/orbi/json.h"

namespace Com::Tessel::Nox::Authentication {
namespace {

using Orbi::Bind::Type;

// Operations as "name(param: type, ...) -> type" and every structure and enumeration reached as
// "name {member: type, ...}" or "name {A|B}"; names are local when under the service's id.
std::set<std::string> Contract(const Orbi::Bind::ServiceDef& def) {
  std::set<std::string> lines;
  const auto local = [prefix = def.id + "."](const std::string& name) {
    return name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name;
  };
  std::function<std::string(const Type&)> describe = [&](const Type& type) -> std::string {
    std::string name, members;
    switch (type.GetKind()) {
      case Type::Kind::kList: {
        std::string list(1, '[');
        list += describe(*type.GetElement());
        list += ']';
        return list;
      }
      case Type::Kind::kOptional:
        return describe(*type.GetElement()) + "?";
      case Type::Kind::kStruct:
        name = local(type.GetStruct().qualifiedName);
        for (const auto& [member, memberType] : type.GetStruct().fields) {
          members += (members.empty() ? "" : ", ") + member + ": " + describe(*memberType);
        }
        break;
      case Type::Kind::kEnum:
        name = local(type.GetEnum().qualifiedName);
        for (const auto& value : type.GetEnum().values)
          members += (members.empty() ? "" : "|") + value;
        break;
      default:
        return type.Describe();
    }
    lines.insert(name + " {" + members + "}");
    return name;
  };
  for (const auto& op : def.operations) {
    std::string params;
    for (const auto& [name, type] : op.params) {
      params += (params.empty() ? "" : ", ") + name + ": " + describe(*type);
    }
    lines.insert(op.name + "(" + params + ") -> " + describe(*op.result));
  }
  return lines;
}

TEST(ServiceDefinitionTest, ClientProfilesWireNames) {
  const std::string names =
      "local_user: string?, external_group: string?, "
      "external_user: string?, issuer_alias: string?, domain: string?";
  EXPECT_EQ(
      Contract(ClientProfilesSvc::AsyncServiceBinder::Definition()),
      (std::set<std::string>{
          "list(filter: filter_spec?, projection: projection?) -> [summary]",
          "create(spec: create_spec) -> string", "get(profile: string) -> info",
          "set(profile: string, spec: set_spec) -> void", "delete(profile: string) -> void",
          "access_grant {resource_type: resource_type, entitlement: entitlement?}",
          "create_spec {" + names + ", grants: [access_grant]}",
          "entitlement {ADMINISTRATOR|OPERATOR|READ_ONLY}", "filter_spec {" + names + "}",
          "info {subject: subject, grants: [access_grant]}", "projection {FULL|SUBJECT|NAME}",
          "resource_type {HOST}", "set_spec {grants: [access_grant]}",
          "subject {type: subject_type, name: string?, issuer_alias: string?, domain: string?}",
          "subject_type {LOCAL_USER|EXTERNAL_GROUP|EXTERNAL_USER}",
          "summary {projection: projection, profile: string, subject: subject?, "
          "grants: [access_grant]?}"}));
}

TEST(ServiceDefinitionTest, SecurityTokenIssuersWireNames) {
  namespace Issuers = Trust::SecurityTokenIssuersSvc;
  const std::string chains = "signing_cert_chains: [x509_cert_chain]";
  EXPECT_EQ(
      Contract(Issuers::AsyncServiceBinder::Definition()),
      (std::set<std::string>{
          "list(projection: summary_type?) -> [summary]", "create(spec: create_spec) -> void",
          "get(issuer_alias: string) -> info", "set(issuer_alias: string, spec: set_spec) -> void",
          "delete(issuer_alias: string) -> void",
          "create_spec {issuer_alias: string, issuer: string, " + chains + "}",
          "info {issuer: string, " + chains + "}", "set_spec {issuer: string?, " + chains + "?}",
          "summary {summary_type: summary_type, issuer_alias: string?, issuer: string?, " + chains +
              "?}",
          "summary_type {FULL|ISSUER|ALIAS}", "x509_cert_chain {cert_chain: [string]}"}));
  EXPECT_EQ(Orbi::Json::ToText(*Issuers::ToValue({"https://idp", "a#1"}),
                               Orbi::Json::Encoding::kStandard),
            std::string(R"({"_type":")") + Issuers::kServiceId +
                R"(.issuer_already_exists_info","issuer":"https://idp","issuer_alias":"a#1"})");
}

TEST(ClientProfilesBindingTest, UnknownTextIsKeptAndComparedByText) {
  using namespace ClientProfilesSvc;
  auto odd = Entitlement::FromString("administrator");  // names are case-sensitive
  EXPECT_TRUE(odd.IsUnknown());
  EXPECT_EQ(odd.ToString(), "administrator");
  EXPECT_EQ(odd, Entitlement::FromString("administrator"));
  EXPECT_FALSE(odd == Entitlement::FromString("OTHER"));
  EXPECT_EQ(ResourceType::FromString("").GetValue(), ResourceType::UNKNOWN);
  EXPECT_TRUE(SubjectType::FromString("GROUP").IsUnknown());
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication
