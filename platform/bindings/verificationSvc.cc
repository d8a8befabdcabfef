#include "platform/bindings/verificationSvc.h"

namespace Com::Tessel::Nox::Authentication::VerificationSvc {

const Orbi::Bind::ServiceDef& Definition() {
  static const Orbi::Bind::ServiceDef def{kServiceId, {{"verify", {}, Orbi::Bind::Type::String()}}};
  return def;
}

Orbi::Provider::InterfacePtr AsyncServiceBinder::BindImplementation(
    std::shared_ptr<AsyncServiceInterface> impl) {
  std::map<std::string, Orbi::Provider::OperationHandler> ops;
  ops["verify"] = [impl](auto, Orbi::Core::ExecutionContextPtr context,
                         Orbi::Core::AsyncApiResultCb cb) { impl->Verify(context, cb); };
  return std::make_shared<Orbi::Provider::BoundInterface>(Definition(), std::move(ops));
}

}  // namespace Com::Tessel::Nox::Authentication::VerificationSvc
