// The opt-in scrape endpoint: "GET /metrics" on the loopback addresses and a port of its own,
// served by a second instance of the daemon's HTTP service. The API endpoint is not involved.
#pragma once

#include <cstdint>
#include <memory>

#include "apps/noxtokend/metrics/daemonMetrics.h"
#include "platform/basalt/httpSvc.h"

namespace Nox::Metrics {

// Listens on "localhost" and `port`, and serves until the returned service is released. Throws
// Basalt::Exception when the port cannot be bound. Other paths get 404, other methods 405.
std::shared_ptr<Basalt::Http::HttpSvc> ServeMetrics(std::shared_ptr<const DaemonMetrics> metrics,
                                                    uint16_t port);

}  // namespace Nox::Metrics
