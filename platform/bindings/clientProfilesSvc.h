// Client profiles service: com.tessel.nox.authentication.client_profiles.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bindings/clientProfiles.h"
#include "platform/orbi/typedBinding.h"

namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc {

inline constexpr const char* kServiceId = "com.tessel.nox.authentication.client_profiles";

// The wire declarations of the structures (platform/orbi/codec.h), for the service and its clients.
Orbi::Bind::StructDecl<Subject> DeclareBinding(Subject*);
Orbi::Bind::StructDecl<AccessGrant> DeclareBinding(AccessGrant*);
Orbi::Bind::StructDecl<Info> DeclareBinding(Info*);
Orbi::Bind::StructDecl<CreateSpec> DeclareBinding(CreateSpec*);
Orbi::Bind::StructDecl<FilterSpec> DeclareBinding(FilterSpec*);
Orbi::Bind::StructDecl<SetSpec> DeclareBinding(SetSpec*);
Orbi::Bind::StructDecl<Summary> DeclareBinding(Summary*);

// Operations in slot order. Each answers exactly once through its reply.
class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void List(Orbi::Core::ExecutionContextPtr context, std::optional<FilterSpec> filter,
                    std::optional<Projection> projection,
                    Orbi::Bind::Reply<std::vector<Summary>> reply) = 0;
  // Answers the new profile's name.
  virtual void Create(Orbi::Core::ExecutionContextPtr context, CreateSpec spec,
                      Orbi::Bind::Reply<std::string> reply) = 0;
  virtual void Get(Orbi::Core::ExecutionContextPtr context, std::string profile,
                   Orbi::Bind::Reply<Info> reply) = 0;
  virtual void Set(Orbi::Core::ExecutionContextPtr context, std::string profile, SetSpec spec,
                   Orbi::Bind::Reply<void> reply) = 0;
  virtual void Delete(Orbi::Core::ExecutionContextPtr context, std::string profile,
                      Orbi::Bind::Reply<void> reply) = 0;
};

const Orbi::Bind::ServiceDecl<AsyncServiceInterface>& DeclareService(AsyncServiceInterface*);
using AsyncServiceBinder = Orbi::Bind::ServiceBinder<AsyncServiceInterface>;

}  // namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc
