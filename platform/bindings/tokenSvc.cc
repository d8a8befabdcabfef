#include "platform/bindings/tokenSvc.h"

#include "platform/orbi/typedBinding.h"

namespace Com::Tessel::Nox::Authentication::TokenSvc {

Orbi::Bind::StructDecl<TokenInfo> DeclareBinding(TokenInfo*) {
  return {kServiceId, "token_info", Orbi::Bind::Field("token", &TokenInfo::token)};
}

namespace {

const Orbi::Bind::ServiceDecl<AsyncServiceInterface>& Declaration() {
  static const Orbi::Bind::ServiceDecl<AsyncServiceInterface> decl(
      kServiceId, Orbi::Bind::Operation("create", &AsyncServiceInterface::Create)
                      .Admitting(Orbi::Bind::Admission::kCredentialExchange));
  return decl;
}

}  // namespace

const Orbi::Bind::ServiceDef& Definition() { return Declaration().Definition(); }

Orbi::Provider::InterfacePtr AsyncServiceBinder::BindImplementation(
    std::shared_ptr<AsyncServiceInterface> impl,
    std::shared_ptr<const Orbi::L10n::Localizer> localizer) {
  return Declaration().Bind(std::move(impl), std::move(localizer));
}

}  // namespace Com::Tessel::Nox::Authentication::TokenSvc
