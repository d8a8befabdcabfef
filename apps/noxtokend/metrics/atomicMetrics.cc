#include "apps/noxtokend/metrics/atomicMetrics.h"

#include <algorithm>

#include "platform/basalt/exception.h"

namespace Nox::Metrics {

namespace {

prometheus::MetricFamily Family(const std::string& name, const std::string& help,
                                prometheus::MetricType type) {
  prometheus::MetricFamily family;
  family.name = name;
  family.help = help;
  family.type = type;
  return family;
}

}  // namespace

CounterTable::CounterTable(std::string name, std::string help, std::vector<std::string> labelNames,
                           std::vector<std::vector<std::string>> rows, bool showZeros)
    : name_(std::move(name)),
      help_(std::move(help)),
      labelNames_(std::move(labelNames)),
      rows_(std::move(rows)),
      counts_(std::make_unique<std::atomic<uint64_t>[]>(rows_.size())),
      showZeros_(showZeros) {
  for (const auto& row : rows_) {
    if (row.size() != labelNames_.size()) {
      throw Basalt::Exception("metric " + name_ + ": a row does not match its label names");
    }
  }
}

prometheus::MetricFamily CounterTable::Collect() const {
  auto family = Family(name_, help_, prometheus::MetricType::Counter);
  for (std::size_t row = 0; row < rows_.size(); ++row) {
    uint64_t value = Value(row);
    if (value == 0 && !showZeros_) continue;
    prometheus::ClientMetric metric;
    for (std::size_t i = 0; i < labelNames_.size(); ++i) {
      metric.label.push_back({labelNames_[i], rows_[row][i]});
    }
    metric.counter.value = static_cast<double>(value);
    family.metric.push_back(std::move(metric));
  }
  return family;
}

LatencyHistogram::LatencyHistogram(std::string name, std::string help, std::vector<double> bounds)
    : name_(std::move(name)),
      help_(std::move(help)),
      bounds_(std::move(bounds)),
      counts_(std::make_unique<std::atomic<uint64_t>[]>(bounds_.size() + 1)) {
  if (!std::is_sorted(bounds_.begin(), bounds_.end())) {
    throw Basalt::Exception("histogram " + name_ + ": bounds must ascend");
  }
  for (double bound : bounds_) boundsNs_.push_back(static_cast<int64_t>(bound * 1e9));
}

void LatencyHistogram::Observe(std::chrono::nanoseconds duration) {
  int64_t ns = std::max<int64_t>(duration.count(), 0);
  auto bucket = std::lower_bound(boundsNs_.begin(), boundsNs_.end(), ns) - boundsNs_.begin();
  counts_[bucket].fetch_add(1, std::memory_order_relaxed);
  sumNs_.fetch_add(static_cast<uint64_t>(ns), std::memory_order_relaxed);
}

prometheus::MetricFamily LatencyHistogram::Collect() const {
  auto family = Family(name_, help_, prometheus::MetricType::Histogram);
  prometheus::ClientMetric metric;
  uint64_t cumulative = 0;
  for (std::size_t i = 0; i < bounds_.size(); ++i) {
    cumulative += counts_[i].load(std::memory_order_relaxed);
    metric.histogram.bucket.push_back({cumulative, bounds_[i]});
  }
  cumulative += counts_[bounds_.size()].load(std::memory_order_relaxed);
  // The serializer writes the +Inf bucket from the count.
  metric.histogram.sample_count = cumulative;
  metric.histogram.sample_sum = static_cast<double>(sumNs_.load(std::memory_order_relaxed)) / 1e9;
  family.metric.push_back(std::move(metric));
  return family;
}

SampledValue::SampledValue(std::string name, std::string help, prometheus::MetricType type,
                           std::function<double()> read)
    : name_(std::move(name)), help_(std::move(help)), type_(type), read_(std::move(read)) {}

prometheus::MetricFamily SampledValue::Collect() const {
  auto family = Family(name_, help_, type_);
  prometheus::ClientMetric metric;
  double value = read_();
  if (type_ == prometheus::MetricType::Counter) {
    metric.counter.value = value;
  } else {
    metric.gauge.value = value;
  }
  family.metric.push_back(std::move(metric));
  return family;
}

}  // namespace Nox::Metrics
