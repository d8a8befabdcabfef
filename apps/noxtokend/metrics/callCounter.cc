#include "apps/noxtokend/metrics/callCounter.h"

#include <string_view>

#include "platform/orbi/errors.h"
#include "platform/orbi/frameworkIds.h"

namespace Nox::Metrics {

namespace {

using Zeph::Common::BasaltOrbi::CallTicket;

constexpr Orbi::Std::ErrorKind kErrorKinds[] = {
    Orbi::Std::ErrorKind::kNotFound,        Orbi::Std::ErrorKind::kAlreadyExists,
    Orbi::Std::ErrorKind::kInvalidArgument, Orbi::Std::ErrorKind::kUnauthenticated,
    Orbi::Std::ErrorKind::kUnauthorized,    Orbi::Std::ErrorKind::kInternalServerError,
    Orbi::Std::ErrorKind::kError,           Orbi::Std::ErrorKind::kOperationNotFound,
};
constexpr std::size_t kOutcomeCount = std::size(kErrorKinds) + 2;
constexpr const char* kOther = "other";

// The outcome's index in Outcomes(), read from the error's name without copying it.
std::size_t OutcomeOf(const Orbi::Core::MethodResult& result) {
  if (!result.HasError()) return 0;
  std::string_view name = result.error->GetName();
  constexpr std::string_view prefix = Orbi::Ids::kErrorNamePrefix;
  if (name.starts_with(prefix)) {
    name.remove_prefix(prefix.size());
    for (std::size_t i = 0; i < std::size(kErrorKinds); ++i) {
      if (name == Orbi::Std::KindName(kErrorKinds[i])) return i + 1;
    }
  }
  return kOutcomeCount - 1;
}

}  // namespace

const std::vector<std::string>& CallCounter::Outcomes() {
  static const std::vector<std::string> outcomes = [] {
    std::vector<std::string> names{"success"};
    for (auto kind : kErrorKinds) names.emplace_back(Orbi::Std::KindName(kind));
    names.emplace_back("other_error");
    return names;
  }();
  return outcomes;
}

CallCounter::CallCounter(const ServiceOperations& operations, Orbi::Core::MethodIdentifier timed,
                         std::shared_ptr<LatencyHistogram> latency)
    : latency_(std::move(latency)) {
  std::vector<std::vector<std::string>> rows;
  auto addRows = [&rows](const std::string& service, const std::string& operation) {
    std::size_t first = rows.size();
    for (const auto& outcome : Outcomes()) rows.push_back({service, operation, outcome});
    return first;
  };
  for (const auto& [service, names] : operations) {
    for (const auto& operation : names) rows_[service][operation] = addRows(service, operation);
  }
  otherRow_ = addRows(kOther, kOther);
  timedRow_ = RowOf(timed);
  table_ = std::make_shared<CounterTable>(
      "noxtokend_calls_total", "API calls answered, by service, operation and outcome.",
      std::vector<std::string>{"service", "operation", "outcome"}, std::move(rows), false);
}

std::size_t CallCounter::RowOf(const Orbi::Core::MethodIdentifier& method) const {
  auto service = rows_.find(method.interfaceId);
  if (service == rows_.end()) return otherRow_;
  auto operation = service->second.find(method.operationName);
  return operation == service->second.end() ? otherRow_ : operation->second;
}

CallTicket CallCounter::OnCall(const Orbi::Core::MethodIdentifier& method) const {
  CallTicket ticket;
  ticket.slot = RowOf(method);
  if (ticket.slot == timedRow_ && timedRow_ != otherRow_) {
    ticket.started = std::chrono::steady_clock::now();
  }
  return ticket;
}

void CallCounter::OnResult(const CallTicket& ticket, const Orbi::Core::MethodResult& result) const {
  std::size_t outcome = OutcomeOf(result);
  table_->Add(ticket.slot + outcome);
  if (outcome == 0 && ticket.started != std::chrono::steady_clock::time_point{}) {
    latency_->Observe(std::chrono::steady_clock::now() - ticket.started);
  }
}

}  // namespace Nox::Metrics
