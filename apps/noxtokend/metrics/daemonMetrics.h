// The daemon's metrics and their Prometheus text form. Built once at start-up when metrics are
// configured, before serving; every count afterwards is a relaxed atomic add, safe from any
// thread. Render may run concurrently with counting.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <prometheus/counter.h>
#include <prometheus/registry.h>

#include "apps/noxtokend/metrics/atomicMetrics.h"
#include "apps/noxtokend/metrics/callCounter.h"
#include "platform/basalt/httpSvc.h"
#include "platform/orbi/authn.h"

namespace Nox::Metrics {

// The authentication schemes by the handler that settles them; the value is its label row.
enum class AuthnScheme : std::size_t { kUserPass, kOwnToken, kExternalJwt, kSamlHok };

// The scheme's name, as metrics label it and the audit trail records it: "user_pass", ...
const char* SchemeLabel(AuthnScheme scheme);

class DaemonMetrics {
 public:
  // `version` is noxtokend_build_info's label; `started` the process's start time.
  DaemonMetrics(const std::string& version, std::chrono::system_clock::time_point started);
  DaemonMetrics(const DaemonMetrics&) = delete;
  DaemonMetrics& operator=(const DaemonMetrics&) = delete;

  // Counts the accepted and refused answers of the filter that asks this scheme's handler.
  Orbi::Authn::AuthnObserver AuthnObserverFor(AuthnScheme scheme) const;

  // Counts the calls of the operations served (others as "other") and times `issuance`.
  // Call once, before serving.
  std::shared_ptr<const Zeph::Common::BasaltOrbi::CallObserver> ObserveCalls(
      const ServiceOperations& operations, const Orbi::Core::MethodIdentifier& issuance);

  // Connection figures, read at each scrape. Call once, before serving.
  void SampleConnections(std::function<Basalt::Http::ConnectionCounts()> read);

  // Password attempts refused without asking PAM because their user or client was throttled.
  void CountThrottled() { throttled_->Increment(); }
  // Configuration store writes or removals that failed.
  void CountStoreWriteFailure() { storeWriteFailures_->Increment(); }

  // The text exposition format, version 0.0.4.
  std::string Render() const;

 private:
  prometheus::Registry registry_;  // prometheus-cpp's own families: rare events and constants
  prometheus::Counter* throttled_;
  prometheus::Counter* storeWriteFailures_;
  std::shared_ptr<CounterTable> authentications_;
  std::shared_ptr<LatencyHistogram> issuance_;
  std::vector<std::shared_ptr<const Collectable>> collectables_;
};

}  // namespace Nox::Metrics
