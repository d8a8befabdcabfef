#include "apps/noxtokend/metrics/daemonMetrics.h"

#include <prometheus/gauge.h>
#include <prometheus/text_serializer.h>

#include "platform/basalt/exception.h"

namespace Nox::Metrics {

namespace {

// Label values in AuthnScheme's order.
constexpr const char* kSchemes[] = {"user_pass", "own_token", "external_jwt", "saml_hok"};
constexpr const char* kAuthnOutcomes[] = {"accepted", "refused"};

// From a millisecond, a fast verify, to the longest PAM conversation the daemon waits for.
const std::vector<double> kIssuanceBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                             0.1,    0.25,  0.5,    1,     2.5,  5,     10};

std::vector<std::vector<std::string>> SchemeRows() {
  std::vector<std::vector<std::string>> rows;
  for (const char* scheme : kSchemes) {
    for (const char* outcome : kAuthnOutcomes) rows.push_back({scheme, outcome});
  }
  return rows;
}

prometheus::Counter* UnlabelledCounter(prometheus::Registry& registry, const std::string& name,
                                       const std::string& help) {
  return &prometheus::BuildCounter().Name(name).Help(help).Register(registry).Add({});
}

}  // namespace

DaemonMetrics::DaemonMetrics(const std::string& version,
                             std::chrono::system_clock::time_point started)
    : throttled_(UnlabelledCounter(
          registry_, "noxtokend_password_throttled_total",
          "Password attempts refused without asking PAM because they were throttled.")),
      storeWriteFailures_(UnlabelledCounter(registry_, "noxtokend_store_write_failures_total",
                                            "Configuration store writes that failed.")),
      authentications_(std::make_shared<CounterTable>(
          "noxtokend_authentications_total",
          "Authentications settled, by scheme and outcome (accepted or refused).",
          std::vector<std::string>{"scheme", "outcome"}, SchemeRows(), true)),
      issuance_(std::make_shared<LatencyHistogram>(
          "noxtokend_token_issuance_seconds",
          "Time from a token request's arrival to its token, for tokens issued.",
          kIssuanceBounds)) {
  prometheus::BuildGauge()
      .Name("noxtokend_build_info")
      .Help("The daemon's version; always 1.")
      .Register(registry_)
      .Add({{"version", version}})
      .Set(1);
  prometheus::BuildGauge()
      .Name("process_start_time_seconds")
      .Help("Start time of the process since the Unix epoch, in seconds.")
      .Register(registry_)
      .Add({})
      .Set(std::chrono::duration<double>(started.time_since_epoch()).count());
  collectables_ = {authentications_, issuance_};
}

const char* SchemeLabel(AuthnScheme scheme) { return kSchemes[static_cast<std::size_t>(scheme)]; }

Orbi::Authn::AuthnObserver DaemonMetrics::AuthnObserverFor(AuthnScheme scheme) const {
  const std::size_t acceptedRow = static_cast<std::size_t>(scheme) * std::size(kAuthnOutcomes);
  return [table = authentications_, acceptedRow](const Orbi::Core::ExecutionContext&,
                                                 const Orbi::Data::ErrorValue* refusal) {
    table->Add(acceptedRow + (refusal ? 1 : 0));
  };
}

std::shared_ptr<const Zeph::Common::BasaltOrbi::CallObserver> DaemonMetrics::ObserveCalls(
    const ServiceOperations& operations, const Orbi::Core::MethodIdentifier& issuance) {
  auto counter = std::make_shared<CallCounter>(operations, issuance, issuance_);
  collectables_.push_back(counter->Table());
  return counter;
}

void DaemonMetrics::SampleConnections(std::function<Basalt::Http::ConnectionCounts()> read) {
  using prometheus::MetricType;
  collectables_.push_back(std::make_shared<SampledValue>(
      "noxtokend_connections_open", "API connections open now.", MetricType::Gauge,
      [read] { return static_cast<double>(read().open); }));
  collectables_.push_back(std::make_shared<SampledValue>(
      "noxtokend_connections_evicted_total",
      "API connections closed while idle to make room for a new one.", MetricType::Counter,
      [read] { return static_cast<double>(read().evicted); }));
  collectables_.push_back(std::make_shared<SampledValue>(
      "noxtokend_connections_refused_total",
      "API connections closed at once: the limit was reached and none was idle.",
      MetricType::Counter, [read] { return static_cast<double>(read().refused); }));
}

std::string DaemonMetrics::Render() const {
  std::vector<prometheus::MetricFamily> families = registry_.Collect();
  for (const auto& collectable : collectables_) families.push_back(collectable->Collect());
  return prometheus::TextSerializer().Serialize(families);
}

}  // namespace Nox::Metrics
