#include "platform/bindings/verificationSvc.h"

namespace Com::Tessel::Nox::Authentication::VerificationSvc {

const Orbi::Bind::ServiceDecl<AsyncServiceInterface>& DeclareService(AsyncServiceInterface*) {
  static const Orbi::Bind::ServiceDecl<AsyncServiceInterface> decl(
      kServiceId, Orbi::Bind::Operation("verify", &AsyncServiceInterface::Verify)
                      .Admitting(Orbi::Bind::Admission::kAnyone));
  return decl;
}

}  // namespace Com::Tessel::Nox::Authentication::VerificationSvc
