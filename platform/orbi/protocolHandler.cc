#include "platform/orbi/protocolHandler.h"

#include <strings.h>

#include "platform/basalt/clientText.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/frameworkIds.h"

namespace Orbi::Provider {

using Protocol::Json::ApiRequest;
using Protocol::Json::ProtocolError;

namespace {

const std::string* FindHeader(const Transport::HeaderList& headers, const char* name) {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name) == 0) return &value;
  }
  return nullptr;
}

}  // namespace

AsyncProtocolHandlerHelper::AsyncProtocolHandlerHelper(
    std::shared_ptr<Transport::FrameReceiver> receiver,
    std::shared_ptr<Transport::FrameSender> sender,
    std::shared_ptr<const ExchangeServices> services)
    : receiver_(std::move(receiver)),
      sender_(std::move(sender)),
      services_(std::move(services)),
      // The default lives as long as the process.
      localizer_(services_->localizer ? services_->localizer.get()
                                      : L10n::Localizer::Default().get()) {}

void AsyncProtocolHandlerHelper::Start(ReceivedCb received, DoneCb done,
                                       Transport::HeaderList headers,
                                       std::function<std::optional<uint32_t>()> callerUid) {
  received_ = std::move(received);
  done_ = std::move(done);
  headers_ = std::move(headers);
  callerUid_ = std::move(callerUid);
  buffer_ = std::make_shared<Transport::FrameBuffer>();
  auto self = shared_from_this();
  receiver_->HandleFrame(buffer_, [self](std::shared_ptr<const Data::ErrorValue> error) {
    if (error) {
      self->done_(std::move(error));
      return;
    }
    if (self->received_) self->received_();
    self->OnFrame();
  });
}

void AsyncProtocolHandlerHelper::OnFrame() {
  // The lines a call writes while it is dispatched here (most calls: all of them) cost one
  // write(2), not one each, and come out of its caller's log budget. Telling the caller captures
  // no more than `this`, so that it is made without an allocation.
  const Basalt::Service::CallerUidFn caller = [this] { return CallerUid(); };
  {
    const Basalt::Service::HeldLogLines oneWrite(caller);
    Dispatch();
  }
  context_.reset();
}

std::optional<uint32_t> AsyncProtocolHandlerHelper::CallerUid() const {
  if (context_) return context_->CallerUid();
  return callerUid_ ? callerUid_() : std::nullopt;
}

void AsyncProtocolHandlerHelper::Dispatch() {
  auto decoded = services_->deserializer->Deserialize(buffer_->View());
  buffer_.reset();
  if (!decoded) {
    Send(services_->serializer->SerializeProtocolError(decoded.error()));
    return;
  }
  ApiRequest& request = *decoded;
  if (RefuseOverlongIdentifier(request)) return;
  const std::string* service = FindHeader(headers_, "Orbi-Service-Id");
  const std::string* operation = FindHeader(headers_, "Orbi-Operation-Id");
  if ((service && *service != request.method.interfaceId) ||
      (operation && *operation != request.method.operationName)) {
    Send(services_->serializer->SerializeProtocolError(
        {Protocol::Json::kInvalidRequest,
         "Mismatching operation identifier in HTTP header and payload", std::move(request.id)}));
    return;
  }
  Invoke(std::move(request));
}

bool AsyncProtocolHandlerHelper::RefuseOverlongIdentifier(const ApiRequest& request) {
  const auto& method = request.method;
  const bool badService = method.interfaceId.size() > Core::kMaxIdentifierLength;
  if (!badService && method.operationName.size() <= Core::kMaxIdentifierLength) return false;
  // Answered here, before the provider chain would log and echo a text that can be megabytes.
  auto quoted = [](const std::string& id) {
    return Basalt::QuoteClientText(id, Core::kMaxIdentifierLength);
  };
  L10n::Message message =
      badService ? L10n::Message{Ids::kServiceNotFound, {{"service", quoted(method.interfaceId)}}}
                 : L10n::Message{Ids::kOperationNotFound,
                                 {{"operation", quoted(method.operationName)},
                                  {"service", quoted(method.interfaceId)}}};
  auto error = Std::OperationNotFound({std::move(message)}).ToErrorValue();
  Send(services_->serializer->SerializeResult(*request.id,
                                              Core::MethodResult::Failure(std::move(error))));
  return true;
}

void AsyncProtocolHandlerHelper::Invoke(ApiRequest request) {
  auto self = shared_from_this();
  // Sends the first result with the request's id; progress is not sent.
  auto resultCb = Core::CallOnce(
      [self, id = std::move(request.id)](std::optional<Core::MethodResult> result,
                                         std::optional<Core::Progress>, Core::Continuation) {
        if (result) self->Send(self->services_->serializer->SerializeResult(*id, *result));
      });
  request.context->callerUid = std::move(callerUid_);
  context_ = request.context;
  services_->enqueuer([self, method = std::move(request.method), input = std::move(request.input),
                       context = std::move(request.context), resultCb]() mutable {
    try {
      self->services_->provider->Invoke(method, std::move(input), std::move(context), resultCb);
    } catch (const std::exception& e) {
      auto error = Std::InternalServerError({{Ids::kInternal, {{"reason", e.what()}}}});
      resultCb(Core::MethodResult::Failure(error.ToErrorValue(*self->localizer_)), std::nullopt,
               nullptr);
    }
  });
}

void AsyncProtocolHandlerHelper::Send(std::string text) {
  auto out = std::make_shared<Transport::FrameBuffer>(std::move(text));
  auto self = shared_from_this();
  sender_->HandleFrame(out, Transport::HeaderList{}, true,
                       [self](std::shared_ptr<const Data::ErrorValue> error) {
                         auto done = std::move(self->done_);
                         if (done) done(std::move(error));
                       });
}

}  // namespace Orbi::Provider
