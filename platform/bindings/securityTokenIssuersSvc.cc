#include "platform/bindings/securityTokenIssuersSvc.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {

using Orbi::Bind::EnumDecl;
using Orbi::Bind::Field;
using Orbi::Bind::StructDecl;

EnumDecl DeclareBinding(SummaryType*) { return {kServiceId, "summary_type"}; }

StructDecl<X509CertChain> DeclareBinding(X509CertChain*) {
  return {kServiceId, "x509_cert_chain", Field("cert_chain", &X509CertChain::cert_chain)};
}

StructDecl<CreateSpec> DeclareBinding(CreateSpec*) {
  return {kServiceId, "create_spec", Field("issuer_alias", &CreateSpec::issuer_alias),
          Field("issuer", &CreateSpec::issuer),
          Field("signing_cert_chains", &CreateSpec::signing_cert_chains)};
}

StructDecl<SetSpec> DeclareBinding(SetSpec*) {
  return {kServiceId, "set_spec", Field("issuer", &SetSpec::issuer),
          Field("signing_cert_chains", &SetSpec::signing_cert_chains)};
}

StructDecl<Info> DeclareBinding(Info*) {
  return {kServiceId, "info", Field("issuer", &Info::issuer),
          Field("signing_cert_chains", &Info::signing_cert_chains)};
}

StructDecl<Summary> DeclareBinding(Summary*) {
  return {kServiceId,
          "summary",
          Field("summary_type", &Summary::summary_type),
          Field("issuer_alias", &Summary::issuer_alias),
          Field("issuer", &Summary::issuer),
          Field("signing_cert_chains", &Summary::signing_cert_chains)};
}

StructDecl<IssuerAlreadyExistsInfo> DeclareBinding(IssuerAlreadyExistsInfo*) {
  return {kServiceId, "issuer_already_exists_info",
          Field("issuer", &IssuerAlreadyExistsInfo::issuer),
          Field("issuer_alias", &IssuerAlreadyExistsInfo::issuer_alias)};
}

using Interface = AsyncServiceInterface;

const Orbi::Bind::ServiceDecl<Interface>& DeclareService(Interface*) {
  constexpr auto kManagement = Orbi::Bind::Admission::kManagement;
  static const Orbi::Bind::ServiceDecl<Interface> decl(
      kServiceId,
      Orbi::Bind::Operation("list", &Interface::List, "projection").Admitting(kManagement),
      Orbi::Bind::Operation("create", &Interface::Create, "spec").Admitting(kManagement),
      Orbi::Bind::Operation("get", &Interface::Get, "issuer_alias").Admitting(kManagement),
      Orbi::Bind::Operation("set", &Interface::Set, "issuer_alias", "spec").Admitting(kManagement),
      Orbi::Bind::Operation("delete", &Interface::Delete, "issuer_alias").Admitting(kManagement));
  return decl;
}

Orbi::Data::ValuePtr ToValue(const IssuerAlreadyExistsInfo& info) {
  return Orbi::Bind::Codec<IssuerAlreadyExistsInfo>::Encode(info);
}

}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
