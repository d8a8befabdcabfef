// The wire contract of the management services as their declarations produce it, and one round
// trip through the local provider.
#include <gtest/gtest.h>

#include <map>

#include "platform/bindings/clientProfilesSvc.h"
#include "platform/bindings/securityTokenIssuersSvc.h"
#include "platform/orbi/json.h"

namespace Com::Tessel::Nox::Authentication {
namespace {

using Orbi::Bind::Type;

// Operations as "name(param: type, ...) -> type" and every structure and enumeration reached,
// by local name; each qualified name must be "<serviceId>.<local name>".
struct Contract {
  std::vector<std::string> operations;
  std::map<std::string, std::string> types;

  explicit Contract(const Orbi::Bind::ServiceDef& def) : serviceId(def.id) {
    for (const auto& op : def.operations) {
      std::string text = op.name + "(";
      for (const auto& [name, type] : op.params) {
        text += (text.back() == '(' ? "" : ", ") + name + ": " + Describe(*type);
      }
      operations.push_back(text + ") -> " + Describe(*op.result));
    }
  }

 private:
  std::string Local(const std::string& qualifiedName) {
    EXPECT_EQ(qualifiedName.rfind(serviceId + ".", 0), 0u) << qualifiedName;
    return qualifiedName.substr(serviceId.size() + 1);
  }

  std::string Describe(const Type& type) {
    switch (type.GetKind()) {
      case Type::Kind::kList:
        return "[" + Describe(*type.GetElement()) + "]";
      case Type::Kind::kOptional:
        return Describe(*type.GetElement()) + "?";
      case Type::Kind::kStruct: {
        std::string name = Local(type.GetStruct().qualifiedName), members;
        for (const auto& [member, memberType] : type.GetStruct().fields) {
          members += (members.empty() ? "" : ", ") + member + ": " + Describe(*memberType);
        }
        types[name] = members;
        return name;
      }
      case Type::Kind::kEnum: {
        std::string name = Local(type.GetEnum().qualifiedName), values;
        for (const auto& value : type.GetEnum().values)
          values += (values.empty() ? "" : "|") + value;
        types[name] = values;
        return name;
      }
      default:
        return type.Describe();
    }
  }

  std::string serviceId;
};

TEST(ServiceDefinitionTest, ClientProfilesWireNames) {
  Contract contract(ClientProfilesSvc::Definition());
  EXPECT_EQ(
      contract.operations,
      (std::vector<std::string>{
          "list(filter: filter_spec?, projection: projection?) -> [summary]",
          "create(spec: create_spec) -> string", "get(profile: string) -> info",
          "set(profile: string, spec: set_spec) -> void", "delete(profile: string) -> void"}));
  const std::string names =
      "local_user: string?, external_group: string?, "
      "external_user: string?, issuer_alias: string?, domain: string?";
  EXPECT_EQ(contract.types,
            (std::map<std::string, std::string>{
                {"access_grant", "resource_type: resource_type, entitlement: entitlement?"},
                {"create_spec", names + ", grants: [access_grant]"},
                {"entitlement", "ADMINISTRATOR|OPERATOR|READ_ONLY"},
                {"filter_spec", names},
                {"info", "subject: subject, grants: [access_grant]"},
                {"projection", "FULL|SUBJECT|NAME"},
                {"resource_type", "HOST"},
                {"set_spec", "grants: [access_grant]"},
                {"subject",
                 "type: subject_type, name: string?, issuer_alias: string?, "
                 "domain: string?"},
                {"subject_type", "LOCAL_USER|EXTERNAL_GROUP|EXTERNAL_USER"},
                {"summary",
                 "projection: projection, profile: string, subject: subject?, "
                 "grants: [access_grant]?"}}));
}

TEST(ServiceDefinitionTest, SecurityTokenIssuersWireNames) {
  namespace Issuers = Trust::SecurityTokenIssuersSvc;
  Contract contract(Issuers::Definition());
  EXPECT_EQ(
      contract.operations,
      (std::vector<std::string>{
          "list(projection: summary_type?) -> [summary]", "create(spec: create_spec) -> void",
          "get(issuer_alias: string) -> info", "set(issuer_alias: string, spec: set_spec) -> void",
          "delete(issuer_alias: string) -> void"}));
  EXPECT_EQ(contract.types,
            (std::map<std::string, std::string>{
                {"create_spec",
                 "issuer_alias: string, issuer: string, signing_cert_chains: [x509_cert_chain]"},
                {"info", "issuer: string, signing_cert_chains: [x509_cert_chain]"},
                {"set_spec", "issuer: string?, signing_cert_chains: [x509_cert_chain]?"},
                {"summary",
                 "summary_type: summary_type, issuer_alias: string?, issuer: string?, "
                 "signing_cert_chains: [x509_cert_chain]?"},
                {"summary_type", "FULL|ISSUER|ALIAS"},
                {"x509_cert_chain", "cert_chain: [string]"}}));
  EXPECT_EQ(Orbi::Json::ToText(*Issuers::ToValue({"https://idp", "a#1"}),
                               Orbi::Json::Encoding::kStandard),
            std::string(R"({"_type":")") + Issuers::kServiceId +
                R"(.issuer_already_exists_info","issuer":"https://idp","issuer_alias":"a#1"})");
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication
