// Metric families that the hot path updates with one relaxed atomic add and that a scrape reads.
// prometheus-cpp's own histogram takes a mutex per observation and its counters are doubles
// updated by compare-and-swap; these hold integers and never lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <prometheus/metric_family.h>

namespace Nox::Metrics {

// Something a scrape reads; thread-safe.
class Collectable {
 public:
  virtual ~Collectable() = default;
  virtual prometheus::MetricFamily Collect() const = 0;
};

// A counter family over a fixed list of label rows, each row one value per label name.
// Thread-safe.
class CounterTable final : public Collectable {
 public:
  // Rows that are still 0 are left out of a scrape unless `showZeros`.
  CounterTable(std::string name, std::string help, std::vector<std::string> labelNames,
               std::vector<std::vector<std::string>> rows, bool showZeros);

  void Add(std::size_t row) { counts_[row].fetch_add(1, std::memory_order_relaxed); }
  uint64_t Value(std::size_t row) const { return counts_[row].load(std::memory_order_relaxed); }

  prometheus::MetricFamily Collect() const override;

 private:
  std::string name_;
  std::string help_;
  std::vector<std::string> labelNames_;
  std::vector<std::vector<std::string>> rows_;
  std::unique_ptr<std::atomic<uint64_t>[]> counts_;
  bool showZeros_;
};

// A histogram of durations in seconds over fixed bucket bounds. Thread-safe.
class LatencyHistogram final : public Collectable {
 public:
  // `bounds`: upper bounds in seconds, ascending.
  LatencyHistogram(std::string name, std::string help, std::vector<double> bounds);

  void Observe(std::chrono::nanoseconds duration);

  prometheus::MetricFamily Collect() const override;

 private:
  std::string name_;
  std::string help_;
  std::vector<int64_t> boundsNs_;
  std::vector<double> bounds_;
  std::unique_ptr<std::atomic<uint64_t>[]> counts_;  // one per bound, then one above all
  std::atomic<uint64_t> sumNs_{0};
};

// One unlabelled value that a scrape asks for: a gauge, or a counter kept elsewhere.
class SampledValue final : public Collectable {
 public:
  SampledValue(std::string name, std::string help, prometheus::MetricType type,
               std::function<double()> read);

  prometheus::MetricFamily Collect() const override;

 private:
  std::string name_;
  std::string help_;
  prometheus::MetricType type_;
  std::function<double()> read_;
};

}  // namespace Nox::Metrics
