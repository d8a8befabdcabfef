#include "platform/bindings/tokenSvc.h"

namespace Com::Tessel::Nox::Authentication::TokenSvc {

Orbi::Bind::StructDecl<TokenInfo> DeclareBinding(TokenInfo*) {
  return {kServiceId, "token_info", Orbi::Bind::Field("token", &TokenInfo::token)};
}

const Orbi::Bind::ServiceDecl<AsyncServiceInterface>& DeclareService(AsyncServiceInterface*) {
  static const Orbi::Bind::ServiceDecl<AsyncServiceInterface> decl(
      kServiceId, Orbi::Bind::Operation("create", &AsyncServiceInterface::Create)
                      .Admitting(Orbi::Bind::Admission::kCredentialExchange));
  return decl;
}

}  // namespace Com::Tessel::Nox::Authentication::TokenSvc
