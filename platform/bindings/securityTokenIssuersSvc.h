// Security token issuers service: com.tessel.nox.authentication.trust.security_token_issuers.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bindings/securityTokenIssuers.h"
#include "platform/orbi/typedBinding.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {

inline constexpr const char* kServiceId =
    "com.tessel.nox.authentication.trust.security_token_issuers";

// The wire declarations of the structures (platform/orbi/codec.h), for the service and its clients.
Orbi::Bind::StructDecl<X509CertChain> DeclareBinding(X509CertChain*);
Orbi::Bind::StructDecl<CreateSpec> DeclareBinding(CreateSpec*);
Orbi::Bind::StructDecl<SetSpec> DeclareBinding(SetSpec*);
Orbi::Bind::StructDecl<Info> DeclareBinding(Info*);
Orbi::Bind::StructDecl<Summary> DeclareBinding(Summary*);

// The value of an issuer conflict's error data ("issuer_already_exists_info").
Orbi::Data::ValuePtr ToValue(const IssuerAlreadyExistsInfo& info);

// Operations in slot order. Each answers exactly once through its reply.
class AsyncServiceInterface {
 public:
  virtual ~AsyncServiceInterface() = default;
  virtual void List(Orbi::Core::ExecutionContextPtr context, std::optional<SummaryType> projection,
                    Orbi::Bind::Reply<std::vector<Summary>> reply) = 0;
  virtual void Create(Orbi::Core::ExecutionContextPtr context, CreateSpec spec,
                      Orbi::Bind::Reply<void> reply) = 0;
  virtual void Get(Orbi::Core::ExecutionContextPtr context, std::string issuerAlias,
                   Orbi::Bind::Reply<Info> reply) = 0;
  virtual void Set(Orbi::Core::ExecutionContextPtr context, std::string issuerAlias, SetSpec spec,
                   Orbi::Bind::Reply<void> reply) = 0;
  virtual void Delete(Orbi::Core::ExecutionContextPtr context, std::string issuerAlias,
                      Orbi::Bind::Reply<void> reply) = 0;
};

const Orbi::Bind::ServiceDecl<AsyncServiceInterface>& DeclareService(AsyncServiceInterface*);
using AsyncServiceBinder = Orbi::Bind::ServiceBinder<AsyncServiceInterface>;

}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
