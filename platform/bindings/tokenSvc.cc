#include "platform/bindings/tokenSvc.h"

namespace Com::Tessel::Nox::Authentication::TokenSvc {

using Orbi::Bind::Type;

namespace {

std::shared_ptr<const Orbi::Bind::StructDef> TokenInfoDef() {
  static const auto def =
      Orbi::Bind::MakeStruct(kServiceId, "token_info", {{"token", Type::String()}});
  return def;
}

}  // namespace

const Orbi::Bind::ServiceDef& Definition() {
  static const Orbi::Bind::ServiceDef def{kServiceId,
                                          {{"create", {}, Type::Struct(TokenInfoDef())}}};
  return def;
}

Orbi::Data::ValuePtr MakeTokenInfo(const std::string& token) {
  auto info = Orbi::Data::StructValue::GetInstance(TokenInfoDef()->qualifiedName);
  info->SetField("token", Orbi::Data::StringValue::Create(token));
  return info;
}

Orbi::Provider::InterfacePtr AsyncServiceBinder::BindImplementation(
    std::shared_ptr<AsyncServiceInterface> impl) {
  std::map<std::string, Orbi::Provider::OperationHandler> ops;
  ops["create"] = [impl](auto, Orbi::Core::ExecutionContextPtr context,
                         Orbi::Core::AsyncApiResultCb cb) { impl->Create(context, cb); };
  return std::make_shared<Orbi::Provider::BoundInterface>(Definition(), std::move(ops));
}

}  // namespace Com::Tessel::Nox::Authentication::TokenSvc
