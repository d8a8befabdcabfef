// Runs the calls that change the stores (create, set and delete of client profiles and trusted
// issuers) one at a time on a thread of their own, in the order they arrive, and answers each on
// the loop of the thread that received it. A store commit may wait seconds for the database (its
// busy timeout); on a connection loop it would hold every connection that loop serves.
//
// Placed just outside the audit provider, so that the states the audit records before and after a
// change are read on the writer thread around that change, with no other change between them.
// Other calls pass through on the calling thread, and so does a change that `admitted` says the
// caller may not make: the filter inside refuses it there, and refused changes never take a place
// that a permitted one needs. When `queueLimit` changes already wait, a change is refused with
// `busy` without running.
//
// Thread-safe. The writer thread is joined when the provider is destroyed; changes still waiting
// then are dropped unanswered (the daemon is stopping).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/basalt/workerPool.h"
#include "platform/orbi/provider.h"

namespace NoxToken::NoxTokenApi {

class StoreWriteProvider final : public Orbi::Core::AsyncApiProvider {
 public:
  // Where to answer a call received on the calling thread; asked on that thread.
  using ReturnTo = std::function<Orbi::Core::Enqueuer()>;
  // Whether the caller may make the change; thread-safe. Null admits every change.
  using Admitted =
      std::function<bool(const Orbi::Core::MethodIdentifier&, const Orbi::Core::ExecutionContext&)>;

  StoreWriteProvider(Orbi::Core::ProviderPtr next, size_t queueLimit, ReturnTo returnTo,
                     std::shared_ptr<const Orbi::Data::ErrorValue> busy,
                     Admitted admitted = nullptr);

  std::string ToString() const override { return "StoreWriteProvider"; }
  void Invoke(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr input,
              Orbi::Core::ExecutionContextPtr context,
              Orbi::Core::AsyncApiResultCb resultCb) override;

 private:
  Orbi::Core::ProviderPtr next_;
  ReturnTo returnTo_;
  std::shared_ptr<const Orbi::Data::ErrorValue> busy_;
  Admitted admitted_;
  // Jobs hold `next_`, never this provider: the pool is never destroyed on its own thread.
  Basalt::System::WorkerPool writer_;
};

}  // namespace NoxToken::NoxTokenApi
