// The client profiles service: administrators create, list, read, change and delete the profiles
// of the client profile store. Requests are checked here; the store keeps and persists them.
//
// Thread safety: calls may run concurrently. Create and delete hold the store's write lock for the
// whole call, list and get its read lock; set relies on the lock the store's Update takes. No lock
// is held while a reply runs. Every failure is answered as a standard error, never thrown.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"
#include "platform/basalt/logger.h"
#include "platform/bindings/clientProfilesSvc.h"

namespace Com::Tessel::Nox::Authentication {

class ClientProfileImpl final : public ClientProfilesSvc::AsyncServiceInterface {
 public:
  // Accounts for a change of the call before it stands (the audit trail): run inside the change's
  // store transaction with the profile's name and the profile as it will stand (null when
  // deleted); a failed status refuses the change.
  using ChangeWitness = std::function<Basalt::Status(const Orbi::Core::ExecutionContext& call,
                                                     const std::string& profile,
                                                     const ClientProfilesSvc::Info* after)>;

  explicit ClientProfileImpl(std::shared_ptr<NoxToken::ClientProfileAccess> profiles,
                             ChangeWitness witness = nullptr);

  void List(Orbi::Core::ExecutionContextPtr context,
            std::optional<ClientProfilesSvc::FilterSpec> filter,
            std::optional<ClientProfilesSvc::Projection> projection,
            Orbi::Bind::Reply<std::vector<ClientProfilesSvc::Summary>> reply) override;
  void Create(Orbi::Core::ExecutionContextPtr context, ClientProfilesSvc::CreateSpec spec,
              Orbi::Bind::Reply<std::string> reply) override;
  void Get(Orbi::Core::ExecutionContextPtr context, std::string profile,
           Orbi::Bind::Reply<ClientProfilesSvc::Info> reply) override;
  void Set(Orbi::Core::ExecutionContextPtr context, std::string profile,
           ClientProfilesSvc::SetSpec spec, Orbi::Bind::Reply<void> reply) override;
  void Delete(Orbi::Core::ExecutionContextPtr context, std::string profile,
              Orbi::Bind::Reply<void> reply) override;

 private:
  NoxToken::ClientProfileAccess::ChangeCheck Witnessed(const Orbi::Core::ExecutionContextPtr& call,
                                                       const std::string& profile) const;

  std::shared_ptr<NoxToken::ClientProfileAccess> profiles_;
  ChangeWitness witness_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
};

}  // namespace Com::Tessel::Nox::Authentication
