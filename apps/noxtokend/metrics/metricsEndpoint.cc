#include "apps/noxtokend/metrics/metricsEndpoint.h"

#include <algorithm>

#include "platform/basalt/exception.h"
#include "platform/basalt/logger.h"
#include "platform/basalt/systemFactory.h"

namespace Nox::Metrics {

namespace {

constexpr const char* kPath = "/metrics";
constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";
// A scraper needs one or two; the rest of the descriptors stay with the API.
constexpr size_t kMaxScrapeConnections = 16;

class ScrapeHandler final : public Basalt::Http::RequestHandlerMixin {
 public:
  explicit ScrapeHandler(std::shared_ptr<const DaemonMetrics> metrics)
      : metrics_(std::move(metrics)) {}

  void HandleGet(std::shared_ptr<Basalt::Http::Request> request,
                 std::shared_ptr<Basalt::Http::Response> response) override {
    // A query string (some scrapers add one) does not change the answer.
    std::string path = request->GetPath();
    if (path.substr(0, path.find('?')) != kPath) {
      response->Answer(404, "Not Found");
      return;
    }
    response->SetContentType(kContentType);
    response->AsyncWrite(metrics_->Render(), [](auto, const std::error_code&) {});
  }
  const char* AllowedMethods() const override { return "GET"; }

 private:
  std::shared_ptr<const DaemonMetrics> metrics_;
};

}  // namespace

std::shared_ptr<Basalt::Http::HttpSvc> ServeMetrics(std::shared_ptr<const DaemonMetrics> metrics,
                                                    uint16_t port) {
  auto socket = Basalt::System::GetSystemFactory().CreateTCPServerSocket();
  try {
    socket->Bind("localhost", port);
  } catch (const Basalt::Exception& e) {
    // Named, so that the API's port is not the one an administrator goes looking at.
    throw Basalt::Exception(std::string("metrics/portNum: ") + e.what());
  }
  auto limits = Basalt::Http::HttpLimits::FromAppConfig();
  limits.maxConnections = std::min(limits.maxConnections, kMaxScrapeConnections);
  auto service =
      Basalt::Http::CreateHttpSvc(socket, Basalt::Service::Logger::CreateLogger("Metrics"),
                                  Basalt::Http::GetDefaultResponseHeadersDefinitions(), limits);
  service->SetRequestHandler(std::make_shared<ScrapeHandler>(std::move(metrics)));
  service->Start();
  return service;
}

}  // namespace Nox::Metrics
