// The local provider: dispatches calls to bound service implementations.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/orbi/errors.h"
#include "platform/orbi/provider.h"
#include "platform/orbi/types.h"

namespace Orbi::Provider {

// An implementation's entry for one operation; it receives the bound parameters.
using OperationHandler =
    std::function<void(std::shared_ptr<const Data::StructValue> params,
                       Core::ExecutionContextPtr context, Core::AsyncApiResultCb resultCb)>;

// A service declaration together with the implementation of each of its operations. Throws
// Basalt::Exception unless every operation has exactly one handler and every handler an operation.
class BoundInterface {
 public:
  BoundInterface(std::shared_ptr<const Bind::ServiceDef> def,
                 std::map<std::string, OperationHandler> handlers);
  // For a declaration that lives as long as the process (a function-local static).
  BoundInterface(const Bind::ServiceDef& staticDef,
                 std::map<std::string, OperationHandler> handlers)
      : BoundInterface(std::shared_ptr<const Bind::ServiceDef>(&staticDef, [](auto*) {}),
                       std::move(handlers)) {}
  const Bind::ServiceDef& GetDef() const { return *def_; }
  const OperationHandler* FindHandler(const std::string& operation) const;

 private:
  std::shared_ptr<const Bind::ServiceDef> def_;
  std::map<std::string, OperationHandler> handlers_;
};
using InterfacePtr = std::shared_ptr<const BoundInterface>;

class InterfaceContainer {
 public:
  explicit InterfaceContainer(std::vector<InterfacePtr> interfaces)
      : interfaces_(std::move(interfaces)) {}
  const std::vector<InterfacePtr>& GetInterfaces() const { return interfaces_; }

 private:
  std::vector<InterfacePtr> interfaces_;
};

// Thread-safe. Calls read the services registered so far without writing to anything shared:
// each registration publishes a new map and keeps the older ones, which live as long as the
// provider, so a call never waits for a registration and two threads' calls never contend.
class AsyncLocalProvider final : public Core::AsyncApiProvider {
 public:
  AsyncLocalProvider(Core::Enqueuer enqueuer, std::shared_ptr<InterfaceContainer> container);

  std::string ToString() const override { return "AsyncLocalProvider"; }
  void Invoke(const Core::MethodIdentifier& method, Data::ValuePtr input,
              Core::ExecutionContextPtr context, Core::AsyncApiResultCb resultCb) override;

  // Throws Basalt::Exception "<Ids::kInterfaceAlreadyRegistered>: <id>" for a known id.
  void AddInterface(InterfacePtr bound);

  std::vector<std::string> ListServices() const;
  std::shared_ptr<const Bind::ServiceDef> FindService(const std::string& id) const;
  // Changes whenever the set of services or their declarations change.
  std::string Checksum() const;

 private:
  using InterfaceMap = std::map<std::string, InterfacePtr, std::less<>>;

  const InterfaceMap& Interfaces() const { return *current_.load(std::memory_order_acquire); }
  InterfacePtr Find(const std::string& id) const;
  std::string ComputeChecksum() const;

  Core::Enqueuer enqueuer_;
  mutable std::mutex mutex_;  // serialises registrations and guards versions_ and checksum_
  std::vector<std::unique_ptr<const InterfaceMap>> versions_;  // every map published, oldest first
  std::atomic<const InterfaceMap*> current_;                   // the newest of versions_
  mutable std::string checksum_;                               // empty until asked for
};

// Completes a call with an output value.
void Answer(const Core::AsyncApiResultCb& resultCb, Data::ValuePtr output);
// Completes a call with a standard error formatted by the localizer (the default when null).
void Fail(const Core::AsyncApiResultCb& resultCb, const Std::StdError& error,
          const L10n::Localizer* localizer = nullptr);

}  // namespace Orbi::Provider
