#include "platform/bindings/verificationSvc.h"

#include "platform/orbi/typedBinding.h"

namespace Com::Tessel::Nox::Authentication::VerificationSvc {

namespace {

const Orbi::Bind::ServiceDecl<AsyncServiceInterface>& Declaration() {
  static const Orbi::Bind::ServiceDecl<AsyncServiceInterface> decl(
      kServiceId, Orbi::Bind::Operation("verify", &AsyncServiceInterface::Verify)
                      .Admitting(Orbi::Bind::Admission::kAnyone));
  return decl;
}

}  // namespace

const Orbi::Bind::ServiceDef& Definition() { return Declaration().Definition(); }

Orbi::Provider::InterfacePtr AsyncServiceBinder::BindImplementation(
    std::shared_ptr<AsyncServiceInterface> impl) {
  return Declaration().Bind(std::move(impl));
}

}  // namespace Com::Tessel::Nox::Authentication::VerificationSvc
