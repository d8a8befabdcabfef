// Drives one exchange: receive a frame, decode it, invoke the provider, send the answer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/orbi/jsonRpc.h"
#include "platform/orbi/localizer.h"
#include "platform/orbi/provider.h"
#include "platform/orbi/transport.h"

namespace Orbi::Provider {

// What every exchange of one endpoint and answer encoding shares; made once, never changed. An
// exchange holds it through one shared reference, so exchanges on different threads write one
// shared count a call rather than one for each part. Progress never reaches the transport, so
// every answer is one frame, the last, whether or not the caller asked for a stream.
struct ExchangeServices {
  Core::ProviderPtr provider;
  Core::Enqueuer enqueuer;
  std::shared_ptr<const Protocol::Json::JsonApiRequestDeserializer> deserializer;
  std::shared_ptr<const Protocol::Json::ResponseSerializer> serializer;
  std::shared_ptr<const L10n::Localizer> localizer;  // L10n::Localizer::Default() when null
};

class AsyncProtocolHandlerHelper : public std::enable_shared_from_this<AsyncProtocolHandlerHelper> {
 public:
  using ReceivedCb = std::function<void()>;
  using DoneCb = std::function<void(std::shared_ptr<const Data::ErrorValue> error)>;

  AsyncProtocolHandlerHelper(std::shared_ptr<Transport::FrameReceiver> receiver,
                             std::shared_ptr<Transport::FrameSender> sender,
                             std::shared_ptr<const ExchangeServices> services);

  // `headers` are the transport's request headers the protocol reads: "Orbi-Service-Id" and
  // "Orbi-Operation-Id" where the request has them. `callerUid` becomes the call's
  // ExecutionContext::callerUid.
  void Start(ReceivedCb received, DoneCb done, Transport::HeaderList headers,
             std::function<std::optional<uint32_t>()> callerUid = nullptr);

 private:
  void OnFrame();
  // Decodes the frame and invokes the provider, or answers a protocol error.
  void Dispatch();
  // The caller of the call being dispatched, told by the transport.
  std::optional<uint32_t> CallerUid() const;
  // Answers operation_not_found for an identifier longer than Core::kMaxIdentifierLength.
  bool RefuseOverlongIdentifier(const Protocol::Json::ApiRequest& request);
  void Invoke(Protocol::Json::ApiRequest request);
  void Send(std::string text);

  std::shared_ptr<Transport::FrameReceiver> receiver_;
  std::shared_ptr<Transport::FrameSender> sender_;
  std::shared_ptr<const ExchangeServices> services_;
  const L10n::Localizer* localizer_;  // services_'s or the default

  std::shared_ptr<Transport::FrameBuffer> buffer_;
  Transport::HeaderList headers_;
  std::function<std::optional<uint32_t>()> callerUid_;  // until the call's context takes it
  Core::ExecutionContextPtr context_;                   // while the call is dispatched
  ReceivedCb received_;
  DoneCb done_;
};

}  // namespace Orbi::Provider
