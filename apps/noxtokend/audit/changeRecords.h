// The records of profile and issuer changes, written inside each change's store transaction right
// before its commit, so that a change never stands without its record when the trail is required:
// the audit provider prepares a call's record before forwarding it (Expect), the service hands
// the target as it will stand to Witness from inside the transaction, and the provider learns what
// became of the record once the call is answered (Conclude).
//
// Thread-safe: the provider and the service may run on different threads.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "apps/noxtokend/audit/auditRecord.h"
#include "apps/noxtokend/audit/auditTrail.h"
#include "platform/basalt/status.h"
#include "platform/orbi/provider.h"

namespace NoxToken::Audit {

class ChangeRecords {
 public:
  enum class Outcome {
    kNotWitnessed,  // the change failed before its commit, or was not one
    kWritten,       // its record went out (or was lost while the trail is not required)
    kRefused,       // its record was lost and the trail is required: the change was rolled back
  };

  explicit ChangeRecords(std::shared_ptr<Trail> trail) : trail_(std::move(trail)) {}

  // The record of the change `call` may make, complete but for its time and its target's state
  // after; replaces one prepared before for the same call.
  void Expect(const Orbi::Core::ExecutionContext* call, Record prepared);

  // Writes the prepared record of `call` with `target` and its state `after` (none when deleted).
  // A failed status refuses the change: its record is lost and the trail is required. A call
  // nothing was prepared for passes.
  Basalt::Status Witness(const Orbi::Core::ExecutionContext& call, const std::string& target,
                         std::optional<TargetState> after);

  struct Concluded {
    Outcome outcome = Outcome::kNotWitnessed;
    std::string target;  // as witnessed: a new profile's name, which a failed call answers not
  };
  // What became of the call's record; forgets the call.
  Concluded Conclude(const Orbi::Core::ExecutionContext* call);

 private:
  struct Pending {
    Record record;
    Concluded concluded;
  };
  std::shared_ptr<Trail> trail_;
  std::mutex mutex_;
  std::map<const Orbi::Core::ExecutionContext*, Pending> pending_;  // guarded by mutex_
};

}  // namespace NoxToken::Audit
