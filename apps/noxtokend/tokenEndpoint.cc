#include "apps/noxtokend/tokenEndpoint.h"

#include "apps/noxtokend/noxTokenApi.h"
#include "apps/zeph-services/common/directEnqueuer.h"
#include "noxVersion.h"
#include "platform/basalt/systemFactory.h"
#include "tarnOrbi/httpRequestHandler.h"

namespace NoxToken {

void OpenEndpoint(TokenEndpoint& endpoint) {
  auto endpointLogger = Basalt::Service::Logger::CreateLogger("NOXTokenEndpoint");
  auto socket = Basalt::System::GetSystemFactory().CreateTCPServerSocket();
  socket->Bind("localhost", static_cast<uint16_t>(endpoint.port));
  auto headers = Basalt::Http::GetDefaultResponseHeadersDefinitions();
  // How `noxtokenctl status` learns which version answers.
  headers.emplace_back("Server", std::string("noxtokend/") + Nox::kVersion);
  endpoint.httpSvc = Basalt::Http::CreateHttpSvc(socket, endpointLogger, headers);
}

void CreateOrbiHttpRequestHandler(TokenEndpoint& endpoint,
                                  const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics) {
  auto logger = Basalt::Service::Logger::CreateLogger("OrbiHandler");
  logger->Log(5, "CreateOrbiHttpRequestHandler");
  Orbi::Core::Enqueuer enqueuer = Zeph::Common::BasaltOrbi::DirectEnqueuer{};
  auto provider = NoxTokenApi::CreateLocalProvider(enqueuer, logger, metrics);
  if (metrics) {
    // The service lives as long as the endpoint, which outlives every scrape.
    metrics->SampleConnections(
        [svc = endpoint.httpSvc.get()] { return svc->GetConnectionCounts(); });
  }
  auto handler = std::make_shared<TarnOrbi::HttpRequestHandler>(
      Basalt::Service::Logger::sDefaultLogger,
      std::make_shared<TarnOrbi::BasaltWrapLoggger>(logger), provider, enqueuer);
  endpoint.httpSvc->SetRequestHandler(handler);
  endpoint.httpSvc->Start();
}

}  // namespace NoxToken
