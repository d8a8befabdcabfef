// Counts every call by service, operation and outcome, and times the calls of one operation
// (token issuance). Rows exist for the operations the daemon serves, fixed at construction; any
// other method a client names is counted as service and operation "other", so no client can grow
// the table. Thread-safe; a call costs two hash lookups and one atomic add, and no allocation.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "apps/noxtokend/metrics/atomicMetrics.h"
#include "apps/zeph-services/common/opIdProvider.h"

namespace Nox::Metrics {

// A service id and the names of its operations.
using ServiceOperations = std::vector<std::pair<std::string, std::vector<std::string>>>;

class CallCounter final : public Zeph::Common::BasaltOrbi::CallObserver {
 public:
  // Outcome label values: "success", then the standard error kinds ("not_found", ...), then
  // "other_error" for an error of any other name.
  static const std::vector<std::string>& Outcomes();

  // `timed` is timed from the call's start to a successful result into `latency`.
  CallCounter(const ServiceOperations& operations, Orbi::Core::MethodIdentifier timed,
              std::shared_ptr<LatencyHistogram> latency);

  Zeph::Common::BasaltOrbi::CallTicket OnCall(
      const Orbi::Core::MethodIdentifier& method) const override;
  void OnResult(const Zeph::Common::BasaltOrbi::CallTicket& ticket,
                const Orbi::Core::MethodResult& result) const override;

  std::shared_ptr<const Collectable> Table() const { return table_; }

 private:
  std::size_t RowOf(const Orbi::Core::MethodIdentifier& method) const;

  std::unordered_map<std::string, std::unordered_map<std::string, std::size_t>> rows_;
  std::size_t otherRow_ = 0;
  std::size_t timedRow_ = 0;
  std::shared_ptr<LatencyHistogram> latency_;
  std::shared_ptr<CounterTable> table_;
};

}  // namespace Nox::Metrics
