// Client profiles service: com.tessel.nox.authentication.client_profiles.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bindings/clientProfiles.h"
#include "platform/orbi/localProvider.h"
#include "platform/orbi/reply.h"

namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc {

inline constexpr const char* kServiceId = "com.tessel.nox.authentication.client_profiles";

const Orbi::Bind::ServiceDef& Definition();

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

class AsyncServiceBinder {
 public:
  // Errors the implementation fails with are rendered by `localizer`.
  static Orbi::Provider::InterfacePtr BindImplementation(
      std::shared_ptr<AsyncServiceInterface> impl,
      std::shared_ptr<const Orbi::L10n::Localizer> localizer);
};

}  // namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc
