// The client profiles service: administrators create, list, read, change and delete the profiles
// of the client profile store. Requests are checked here; the store keeps and persists them.
//
// Thread safety: calls may run concurrently. Create and delete hold the store's write lock for the
// whole call, list and get its read lock; set relies on the lock the store's Update takes. No lock
// is held while a reply runs. Every failure is answered as a standard error, never thrown.
#pragma once

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
  explicit ClientProfileImpl(std::shared_ptr<NoxToken::ClientProfileAccess> profiles);

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
  std::shared_ptr<NoxToken::ClientProfileAccess> profiles_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
};

}  // namespace Com::Tessel::Nox::Authentication
