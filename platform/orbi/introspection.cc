#include "platform/orbi/introspection.h"

#include "platform/basalt/exception.h"
#include "platform/orbi/frameworkIds.h"
#include "platform/orbi/typedBinding.h"

namespace Orbi::Provider {

namespace {

using Bind::Field;
using Bind::Operation;
using Bind::Reply;

struct ProviderInfo {
  std::string id;
  std::string checksum;
};

struct ServiceInfo {
  std::vector<std::string> operations;
};

struct OperationInfo {
  std::string input_definition;
  std::string output_definition;
};

Bind::StructDecl<ProviderInfo> DeclareBinding(ProviderInfo*) {
  return {Ids::kIntrospectionProvider, "info", Field("id", &ProviderInfo::id),
          Field("checksum", &ProviderInfo::checksum)};
}

Bind::StructDecl<ServiceInfo> DeclareBinding(ServiceInfo*) {
  return {Ids::kIntrospectionService, "info", Field("operations", &ServiceInfo::operations)};
}

Bind::StructDecl<OperationInfo> DeclareBinding(OperationInfo*) {
  return {Ids::kIntrospectionOperation, "info",
          Field("input_definition", &OperationInfo::input_definition),
          Field("output_definition", &OperationInfo::output_definition)};
}

// The implementation of all three services over one provider, held weakly: the provider owns
// the bound interfaces.
class Introspector {
 public:
  explicit Introspector(std::weak_ptr<const AsyncLocalProvider> provider)
      : provider_(std::move(provider)) {}

  void GetProvider(Core::ExecutionContextPtr, Reply<ProviderInfo> reply) {
    auto provider = Lock();
    reply.Answer({provider->ToString(), provider->Checksum()});
  }

  void ListServices(Core::ExecutionContextPtr, Reply<std::vector<std::string>> reply) {
    reply.Answer(Lock()->ListServices());
  }

  void GetService(Core::ExecutionContextPtr, std::string id, Reply<ServiceInfo> reply) {
    auto service = FindService(id, reply);
    if (service) reply.Answer({OperationNames(*service)});
  }

  void ListOperations(Core::ExecutionContextPtr, std::string serviceId,
                      Reply<std::vector<std::string>> reply) {
    auto service = FindService(serviceId, reply);
    if (service) reply.Answer(OperationNames(*service));
  }

  void GetOperation(Core::ExecutionContextPtr, std::string serviceId, std::string operationId,
                    Reply<OperationInfo> reply) {
    auto service = FindService(serviceId, reply);
    if (!service) return;
    const Bind::OperationDef* op = service->FindOperation(operationId);
    if (!op) {
      reply.Fail(Std::NotFound(
          {{Ids::kOperationNotFound, {{"operation", operationId}, {"service", serviceId}}}}));
      return;
    }
    reply.Answer({service->DescribeInput(*op), op->result->Describe()});
  }

 private:
  std::shared_ptr<const AsyncLocalProvider> Lock() const {
    auto provider = provider_.lock();
    if (!provider) throw Basalt::Exception("the provider is gone");
    return provider;
  }

  // The service's declaration, or null after failing the call with not_found.
  std::shared_ptr<const Bind::ServiceDef> FindService(const std::string& id,
                                                      const Bind::Detail::ReplyBase& reply) const {
    auto service = Lock()->FindService(id);
    if (!service) {
      reply.Fail(Std::NotFound({{Ids::kServiceNotFound, {{"service", id}}}}));
    }
    return service;
  }

  static std::vector<std::string> OperationNames(const Bind::ServiceDef& service) {
    std::vector<std::string> names;
    for (const auto& op : service.operations) names.push_back(op.name);
    return names;
  }

  std::weak_ptr<const AsyncLocalProvider> provider_;
};

using Decl = Bind::ServiceDecl<Introspector>;
// Introspection tells what is served, never what is stored: anyone may ask.
constexpr auto kAnyone = Bind::Admission::kAnyone;

std::shared_ptr<Introspector> Over(std::weak_ptr<const AsyncLocalProvider> provider) {
  return std::make_shared<Introspector>(std::move(provider));
}

}  // namespace

InterfacePtr CreateProviderIntrospection(std::weak_ptr<const AsyncLocalProvider> provider) {
  static const Decl decl(Ids::kIntrospectionProvider,
                         Operation("get", &Introspector::GetProvider).Admitting(kAnyone));
  return decl.Bind(Over(std::move(provider)));
}

InterfacePtr CreateServiceIntrospection(std::weak_ptr<const AsyncLocalProvider> provider) {
  static const Decl decl(Ids::kIntrospectionService,
                         Operation("list", &Introspector::ListServices).Admitting(kAnyone),
                         Operation("get", &Introspector::GetService, "id").Admitting(kAnyone));
  return decl.Bind(Over(std::move(provider)));
}

InterfacePtr CreateOperationIntrospection(std::weak_ptr<const AsyncLocalProvider> provider) {
  static const Decl decl(
      Ids::kIntrospectionOperation,
      Operation("list", &Introspector::ListOperations, "service_id").Admitting(kAnyone),
      Operation("get", &Introspector::GetOperation, "service_id", "operation_id")
          .Admitting(kAnyone));
  return decl.Bind(Over(std::move(provider)));
}

}  // namespace Orbi::Provider
