// The security token issuers service: administrators register, list, read, change and remove
// trusted external token issuers in the shared registry.
//
// Thread safety: calls may run concurrently; each takes the registry's read or write lock only
// around the registry call, and logs, formats and answers outside it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "platform/basalt/logger.h"
#include "platform/bindings/securityTokenIssuersSvc.h"
#include "platform/orbi/errors.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {

class SecurityTokenIssuersImpl final : public AsyncServiceInterface {
 public:
  // Accounts for a change of the call before it stands (the audit trail): run inside the change's
  // store transaction with the alias and the issuer as it will stand (null when deleted); a failed
  // status refuses the change.
  using ChangeWitness = std::function<Basalt::Status(
      const Orbi::Core::ExecutionContext& call, const std::string& issuerAlias, const Info* after)>;

  explicit SecurityTokenIssuersImpl(CertificateChainsContainerPtr container,
                                    ChangeWitness witness = nullptr);

  void List(Orbi::Core::ExecutionContextPtr context, std::optional<SummaryType> projection,
            Orbi::Bind::Reply<std::vector<Summary>> reply) override;
  void Create(Orbi::Core::ExecutionContextPtr context, CreateSpec spec,
              Orbi::Bind::Reply<void> reply) override;
  void Get(Orbi::Core::ExecutionContextPtr context, std::string issuerAlias,
           Orbi::Bind::Reply<Info> reply) override;
  void Set(Orbi::Core::ExecutionContextPtr context, std::string issuerAlias, SetSpec spec,
           Orbi::Bind::Reply<void> reply) override;
  void Delete(Orbi::Core::ExecutionContextPtr context, std::string issuerAlias,
              Orbi::Bind::Reply<void> reply) override;

 private:
  // Answers a change of the registry: success, or its refusal as the error the API defines, a
  // store failure's with `issuerAlias` and the store's text in its message.
  void Conclude(const Orbi::Bind::Reply<void>& reply, const IssuerChange& outcome,
                const std::string& issuerAlias) const;

  std::vector<Summary> ListSummaries(const SummaryType& projection) const
      REQUIRES_SHARED(*container_);

  // Logs every message of the error as the caller will read it, then fails the call.
  void Refuse(const Orbi::Bind::Detail::ReplyBase& reply, const Orbi::Std::StdError& error) const;

  CertificateChainsContainer::ChangeCheck Witnessed(const Orbi::Core::ExecutionContextPtr& call,
                                                    const std::string& issuerAlias) const;

  CertificateChainsContainerPtr container_;
  ChangeWitness witness_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
};

}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
