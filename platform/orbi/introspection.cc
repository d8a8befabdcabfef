#include "platform/orbi/introspection.h"

#include "platform/basalt/exception.h"

namespace Orbi::Provider {

using Bind::Type;

namespace {

constexpr const char* kProviderId = "com.tessel.orbi.std.introspection.provider";
constexpr const char* kServiceId = "com.tessel.orbi.std.introspection.service";
constexpr const char* kOperationId = "com.tessel.orbi.std.introspection.operation";

std::shared_ptr<const AsyncLocalProvider> Lock(const std::weak_ptr<const AsyncLocalProvider>& p) {
  auto provider = p.lock();
  if (!provider) throw Basalt::Exception("the provider is gone");
  return provider;
}

Data::ValuePtr StringList(const std::vector<std::string>& texts) {
  auto list = Data::ListValue::Create();
  for (const auto& text : texts) list->Add(Data::StringValue::Create(text));
  return list;
}

const std::string& Param(const Data::StructValue& params, const std::string& name) {
  return *params.GetString(name);
}

void ServiceNotFound(const Core::AsyncApiResultCb& cb, const std::string& service) {
  Fail(cb, Std::NotFound({{"com.tessel.orbi.std.errors.operation_not_found.service",
                           {{"service", service}}}}));
}

}  // namespace

InterfacePtr CreateProviderIntrospection(std::weak_ptr<const AsyncLocalProvider> provider) {
  auto info =
      Bind::MakeStruct(kProviderId, "info", {{"id", Type::String()}, {"checksum", Type::String()}});
  auto def = std::make_shared<Bind::ServiceDef>(
      Bind::ServiceDef{kProviderId, {{"get", {}, Type::Struct(info)}}});
  std::map<std::string, OperationHandler> ops;
  ops["get"] = [provider, name = info->qualifiedName](auto, auto, Core::AsyncApiResultCb cb) {
    auto self = Lock(provider);
    auto out = Data::StructValue::GetInstance(name);
    out->SetField("id", Data::StringValue::Create(self->ToString()));
    out->SetField("checksum", Data::StringValue::Create(self->Checksum()));
    Answer(cb, out);
  };
  return std::make_shared<BoundInterface>(def, std::move(ops));
}

InterfacePtr CreateServiceIntrospection(std::weak_ptr<const AsyncLocalProvider> provider) {
  auto info = Bind::MakeStruct(kServiceId, "info", {{"operations", Type::List(Type::String())}});
  auto def = std::make_shared<Bind::ServiceDef>(
      Bind::ServiceDef{kServiceId,
                       {{"list", {}, Type::List(Type::String())},
                        {"get", {{"id", Type::String()}}, Type::Struct(info)}}});
  std::map<std::string, OperationHandler> ops;
  ops["list"] = [provider](auto, auto, Core::AsyncApiResultCb cb) {
    Answer(cb, StringList(Lock(provider)->ListServices()));
  };
  ops["get"] = [provider, name = info->qualifiedName](auto params, auto,
                                                      Core::AsyncApiResultCb cb) {
    const std::string& id = Param(*params, "id");
    auto service = Lock(provider)->FindService(id);
    if (!service) return ServiceNotFound(cb, id);
    std::vector<std::string> names;
    for (const auto& op : service->operations) names.push_back(op.name);
    auto out = Data::StructValue::GetInstance(name);
    out->SetField("operations", StringList(names));
    Answer(cb, out);
  };
  return std::make_shared<BoundInterface>(def, std::move(ops));
}

InterfacePtr CreateOperationIntrospection(std::weak_ptr<const AsyncLocalProvider> provider) {
  auto info = Bind::MakeStruct(
      kOperationId, "info",
      {{"input_definition", Type::String()}, {"output_definition", Type::String()}});
  auto def = std::make_shared<Bind::ServiceDef>(
      Bind::ServiceDef{kOperationId,
                       {{"list", {{"service_id", Type::String()}}, Type::List(Type::String())},
                        {"get",
                         {{"service_id", Type::String()}, {"operation_id", Type::String()}},
                         Type::Struct(info)}}});
  std::map<std::string, OperationHandler> ops;
  ops["list"] = [provider](auto params, auto, Core::AsyncApiResultCb cb) {
    const std::string& id = Param(*params, "service_id");
    auto service = Lock(provider)->FindService(id);
    if (!service) return ServiceNotFound(cb, id);
    std::vector<std::string> names;
    for (const auto& op : service->operations) names.push_back(op.name);
    Answer(cb, StringList(names));
  };
  ops["get"] = [provider, name = info->qualifiedName](auto params, auto,
                                                      Core::AsyncApiResultCb cb) {
    const std::string& id = Param(*params, "service_id");
    const std::string& operation = Param(*params, "operation_id");
    auto service = Lock(provider)->FindService(id);
    if (!service) return ServiceNotFound(cb, id);
    const Bind::OperationDef* op = service->FindOperation(operation);
    if (!op) {
      return Fail(cb, Std::NotFound({{"com.tessel.orbi.std.errors.operation_not_found.operation",
                                      {{"operation", operation}, {"service", id}}}}));
    }
    auto out = Data::StructValue::GetInstance(name);
    out->SetField("input_definition", Data::StringValue::Create(service->DescribeInput(*op)));
    out->SetField("output_definition", Data::StringValue::Create(op->result->Describe()));
    Answer(cb, out);
  };
  return std::make_shared<BoundInterface>(def, std::move(ops));
}

}  // namespace Orbi::Provider
