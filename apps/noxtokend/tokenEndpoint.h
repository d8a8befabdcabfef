// The daemon's single HTTP endpoint and the start of serving API calls on it.
#pragma once

#include <cstdint>
#include <memory>

#include "apps/noxtokend/metrics/daemonMetrics.h"
#include "platform/basalt/httpSvc.h"
#include "platform/basalt/logger.h"

namespace NoxToken {

struct TokenEndpoint {
  TokenEndpoint(uint32_t portNumber, std::shared_ptr<Basalt::Service::Logger> moduleLogger)
      : port(portNumber), logger(std::move(moduleLogger)) {}
  ~TokenEndpoint() {
    logger.reset();
    httpSvc.reset();
  }
  TokenEndpoint(const TokenEndpoint&) = delete;
  TokenEndpoint& operator=(const TokenEndpoint&) = delete;

  uint32_t port;
  std::shared_ptr<Basalt::Http::HttpSvc> httpSvc;
  std::shared_ptr<Basalt::Service::Logger> logger;
};

// Opens the HTTP service on "localhost" and the endpoint's port.
void OpenEndpoint(TokenEndpoint& endpoint);

// Builds the provider chain and its request handler, attaches it and starts serving. With
// `metrics`, calls, authentications and the endpoint's connections are counted into it.
void CreateOrbiHttpRequestHandler(
    TokenEndpoint& endpoint, const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics = nullptr);

}  // namespace NoxToken
