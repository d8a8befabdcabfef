// The outermost provider: gives every call an operation id, makes it the thread's "opID" log
// context while the call is dispatched, and logs the call and its result.
#pragma once

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

// Logs each result, progress report or failure before passing it on.
class ResultLogger {
 public:
  ResultLogger(Orbi::Core::AsyncApiResultCb callback,
               std::shared_ptr<const Orbi::Core::MethodIdentifier> method,
               std::shared_ptr<Basalt::Service::Logger> logger);

  void operator()(std::optional<Orbi::Core::MethodResult> result,
                  std::optional<Orbi::Core::Progress> progress,
                  Orbi::Core::Continuation continuation);

 private:
  Orbi::Core::AsyncApiResultCb callback_;
  std::shared_ptr<const Orbi::Core::MethodIdentifier> method_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
};

class OpIdProvider final : public Orbi::Core::AsyncApiProvider {
 public:
  OpIdProvider(Orbi::Core::ProviderPtr next, std::shared_ptr<Basalt::Service::Logger> logger);

  std::string ToString() const override { return "OpIdProvider"; }
  void Invoke(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr input,
              Orbi::Core::ExecutionContextPtr context,
              Orbi::Core::AsyncApiResultCb resultCb) override;

 private:
  Orbi::Core::ProviderPtr next_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
};

}  // namespace Zeph::Common::BasaltOrbi
