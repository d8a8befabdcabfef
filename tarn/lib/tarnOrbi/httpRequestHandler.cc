#include "tarnOrbi/httpRequestHandler.h"

#include "platform/basalt/httpStatus.h"
#include "platform/orbi/jsonRpc.h"
#include "platform/orbi/protocolHandler.h"
#include "platform/orbi/removeProgressProvider.h"
#include "tarnOrbi/httpServerTransportHelper.h"

namespace TarnOrbi {

namespace {

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace

bool IsAcceptedContentType(std::string_view contentType) {
  return Contains(contentType, "application/json") ||
         Contains(contentType, "application/vnd.tessel.orbi.framed");
}

unsigned NegotiateAccept(std::string_view accept) {
  static const std::pair<unsigned, const char*> kTypes[] = {
      {kAcceptJson, "application/json"},
      {kAcceptCleanJson, "application/vnd.tessel.orbi.cleanjson"},
      {kAcceptFramed, "application/vnd.tessel.orbi.framed"},
      {kAcceptFramedCleanJson, "application/vnd.tessel.orbi.framed.cleanjson"},
      {kAcceptStreamJson, "application/vnd.tessel.orbi+stream.json"},
      {kAcceptCleanStreamJson, "application/vnd.tessel.orbi.clean+stream.json"},
  };
  unsigned flags = 0;
  for (const auto& [bit, type] : kTypes) {
    if (Contains(accept, type)) flags += bit;
  }
  return flags;
}

HttpRequestHandler::HttpRequestHandler(std::shared_ptr<Basalt::Service::Logger> logger,
                                       std::shared_ptr<BasaltWrapLoggger> orbiLogger,
                                       Orbi::Core::ProviderPtr provider,
                                       Orbi::Core::Enqueuer enqueuer,
                                       std::shared_ptr<const Orbi::L10n::Localizer> localizer)
    : logger_(std::move(logger)), orbiLogger_(std::move(orbiLogger)) {
  // Stateless, so one of each serves every request.
  Orbi::Provider::ExchangeServices services{
      std::make_shared<Orbi::Provider::RemoveProgressProvider>(std::move(provider)),
      std::move(enqueuer),
      std::make_shared<const Orbi::Protocol::Json::JsonApiRequestDeserializer>(),
      std::make_shared<const Orbi::Protocol::Json::JsonApiResponseSerializer>(),
      std::move(localizer)};
  standard_ = std::make_shared<const Orbi::Provider::ExchangeServices>(services);
  services.serializer =
      std::make_shared<const Orbi::Protocol::Json::JsonApiDirectResponseSerializer>();
  clean_ = std::make_shared<const Orbi::Provider::ExchangeServices>(std::move(services));
}

void HttpRequestHandler::HandlePost(std::shared_ptr<Basalt::Http::Request> request,
                                    std::shared_ptr<Basalt::Http::Response> response) {
  if (!IsAcceptedContentType(request->GetHeader("Content-Type").value_or(""))) {
    response->Answer(400, Basalt::Http::ReasonText(400));
    return;
  }
  unsigned flags = NegotiateAccept(request->GetHeader("Accept").value_or(""));
  if (flags == 0) {
    if (orbiLogger_->IsEnabled(2)) {
      orbiLogger_->Log(
          2, std::string("Not known accept type.") + "Default application/json will be used");
    }
    flags = kAcceptJson;
  }
  const bool clean = flags & (kAcceptCleanJson | kAcceptFramedCleanJson);
  response->SetContentType(clean ? "application/vnd.tessel.orbi.cleanjson" : "application/json");
  auto helper = std::make_shared<Orbi::Provider::AsyncProtocolHandlerHelper>(
      HttpRecvHelper::Create(request, orbiLogger_, maxRequestSize_),
      HttpSendHelper::Create(response, orbiLogger_), clean ? clean_ : standard_);

  // Only what the protocol handler reads: a copy of every header cost a dozen allocations a call.
  Orbi::Transport::HeaderList headers;
  for (const char* name : {"Orbi-Service-Id", "Orbi-Operation-Id"}) {
    if (auto value = request->GetHeader(name)) headers.emplace_back(name, std::string(*value));
  }

  // Asked only by calls that need it (a password check), and then once per connection.
  std::function<std::optional<uint32_t>()> callerUid;
  if (auto peer = request->GetPeer()) callerUid = [peer] { return peer->Uid(); };

  // The helper calls both while its transport helpers hold the logger.
  const BasaltWrapLoggger* orbiLogger = orbiLogger_.get();
  helper->Start(
      [orbiLogger]() {
        if (orbiLogger->IsEnabled(0)) orbiLogger->Log(0, "Request received\n");
      },
      [orbiLogger, response](std::shared_ptr<const Orbi::Data::ErrorValue> error) {
        if (!error) {
          if (orbiLogger->IsEnabled(0)) orbiLogger->Log(0, "Request handled");
          return;
        }
        if (orbiLogger->IsEnabled(0)) {
          orbiLogger->Log(0, "Handle request error: " + error->ToString());
        }
        if (const auto status = ReadTransportError(*error)) {
          response->Answer(status->code, status->reason);
        }
      },
      std::move(headers), std::move(callerUid));
}

}  // namespace TarnOrbi
