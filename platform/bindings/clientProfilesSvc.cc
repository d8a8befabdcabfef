#include "platform/bindings/clientProfilesSvc.h"

namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc {

using Orbi::Bind::EnumDecl;
using Orbi::Bind::Field;
using Orbi::Bind::OptionalField;
using Orbi::Bind::StructDecl;

EnumDecl DeclareBinding(SubjectType*) { return {kServiceId, "subject_type"}; }
// A grant names what the daemon can store and enforce; anything else is the caller's mistake.
EnumDecl DeclareBinding(ResourceType*) {
  return {kServiceId, "resource_type", Orbi::Bind::UnknownInput::kRefused};
}
EnumDecl DeclareBinding(Entitlement*) {
  return {kServiceId, "entitlement", Orbi::Bind::UnknownInput::kRefused};
}
EnumDecl DeclareBinding(Projection*) { return {kServiceId, "projection"}; }

StructDecl<Subject> DeclareBinding(Subject*) {
  return {kServiceId,
          "subject",
          Field("type", &Subject::type),
          Field("name", &Subject::name),
          Field("issuer_alias", &Subject::issuerAlias),
          Field("domain", &Subject::domain)};
}

StructDecl<AccessGrant> DeclareBinding(AccessGrant*) {
  return {kServiceId, "access_grant", Field("resource_type", &AccessGrant::resourceType),
          Field("entitlement", &AccessGrant::entitlement)};
}

StructDecl<Info> DeclareBinding(Info*) {
  return {kServiceId, "info", Field("subject", &Info::subject), Field("grants", &Info::grants)};
}

StructDecl<CreateSpec> DeclareBinding(CreateSpec*) {
  return {kServiceId,
          "create_spec",
          Field("local_user", &CreateSpec::localUser),
          Field("external_group", &CreateSpec::externalGroup),
          Field("external_user", &CreateSpec::externalUser),
          Field("issuer_alias", &CreateSpec::issuerAlias),
          Field("domain", &CreateSpec::domain),
          Field("grants", &CreateSpec::grants)};
}

StructDecl<FilterSpec> DeclareBinding(FilterSpec*) {
  return {kServiceId,
          "filter_spec",
          Field("local_user", &FilterSpec::localUser),
          Field("external_group", &FilterSpec::externalGroup),
          Field("external_user", &FilterSpec::externalUser),
          Field("issuer_alias", &FilterSpec::issuerAlias),
          Field("domain", &FilterSpec::domain)};
}

StructDecl<SetSpec> DeclareBinding(SetSpec*) {
  return {kServiceId, "set_spec", Field("grants", &SetSpec::grants)};
}

StructDecl<Summary> DeclareBinding(Summary*) {
  return {kServiceId,
          "summary",
          Field("projection", &Summary::projection),
          Field("profile", &Summary::profile),
          OptionalField("subject", &Summary::subject),
          Field("grants", &Summary::grants)};
}

using Interface = AsyncServiceInterface;

const Orbi::Bind::ServiceDecl<Interface>& DeclareService(Interface*) {
  constexpr auto kManagement = Orbi::Bind::Admission::kManagement;
  static const Orbi::Bind::ServiceDecl<Interface> decl(
      kServiceId,
      Orbi::Bind::Operation("list", &Interface::List, "filter", "projection")
          .Admitting(kManagement),
      Orbi::Bind::Operation("create", &Interface::Create, "spec").Admitting(kManagement),
      Orbi::Bind::Operation("get", &Interface::Get, "profile").Admitting(kManagement),
      Orbi::Bind::Operation("set", &Interface::Set, "profile", "spec").Admitting(kManagement),
      Orbi::Bind::Operation("delete", &Interface::Delete, "profile").Admitting(kManagement));
  return decl;
}

}  // namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc
