// The outermost provider: gives every call an operation id, makes it the thread's "opID" log
// context while the call is dispatched, and logs the call and its result.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "platform/basalt/logger.h"
#include "platform/orbi/provider.h"

namespace Zeph::Common::BasaltOrbi {

extern const char* const kLogContextOpId;  // "opID"
extern const char* const kAppContextOpId;  // "opId"

// The text form of a value for logs: like ToString, but string fields that carry secrets
// ("token", "accessToken", "password", "samlHokToken", "signatureValue") are shortened as every
// credential in a log is (Basalt::Service::ShortenedSecret).
std::string TextWithoutSecrets(const Orbi::Data::ValuePtr& value);

// The operation id for a call without a client-supplied one: "<operation>-<uuid>-0".
std::string GenerateOperationId(const std::string& methodText);

// What an observer notes when a call starts, handed back with the call's result.
struct CallTicket {
  std::size_t slot = 0;
  std::chrono::steady_clock::time_point started{};  // left unset when the observer needs none
};

// Told of every call as it starts and of its final result (not of progress reports). Called
// concurrently from the calls' threads; implementations must be thread-safe and quick.
class CallObserver {
 public:
  virtual ~CallObserver() = default;
  virtual CallTicket OnCall(const Orbi::Core::MethodIdentifier& method) const = 0;
  virtual void OnResult(const CallTicket& ticket, const Orbi::Core::MethodResult& result) const = 0;
};

// Logs each result, progress report or failure before passing it on; tells the observer, when
// there is one, of the result.
class ResultLogger {
 public:
  // `methodText`: the call's MethodIdentifier::ToString().
  ResultLogger(Orbi::Core::AsyncApiResultCb callback, std::string methodText,
               std::shared_ptr<Basalt::Service::Logger> logger,
               std::shared_ptr<const CallObserver> observer = nullptr, CallTicket ticket = {});

  void operator()(std::optional<Orbi::Core::MethodResult> result,
                  std::optional<Orbi::Core::Progress> progress,
                  Orbi::Core::Continuation continuation);

 private:
  Orbi::Core::AsyncApiResultCb callback_;
  std::string methodText_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  std::shared_ptr<const CallObserver> observer_;
  CallTicket ticket_;
};

class OpIdProvider final : public Orbi::Core::AsyncApiProvider {
 public:
  // `observer` may be null.
  OpIdProvider(Orbi::Core::ProviderPtr next, std::shared_ptr<Basalt::Service::Logger> logger,
               std::shared_ptr<const CallObserver> observer = nullptr);

  std::string ToString() const override { return "OpIdProvider"; }
  void Invoke(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr input,
              Orbi::Core::ExecutionContextPtr context,
              Orbi::Core::AsyncApiResultCb resultCb) override;

 private:
  Orbi::Core::ProviderPtr next_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  std::shared_ptr<const CallObserver> observer_;
};

}  // namespace Zeph::Common::BasaltOrbi
