#include "apps/noxtokend/audit/changeRecords.h"

#include "apps/noxtokend/audit/auditCall.h"

namespace NoxToken::Audit {

void ChangeRecords::Expect(const Orbi::Core::ExecutionContext* call, Record prepared) {
  std::lock_guard lock(mutex_);
  pending_[call] = Pending{std::move(prepared), {}};
}

Basalt::Status ChangeRecords::Witness(const Orbi::Core::ExecutionContext& call,
                                      const std::string& target, std::optional<TargetState> after) {
  Record record;
  {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(&call);
    if (it == pending_.end()) return Basalt::Status::Ok();
    record = it->second.record;
  }
  record.timeMs = RecordTimeNow();
  record.target = target;
  record.after = std::move(after);
  // Written outside the lock: a slow disk holds up this change only.
  const bool refused = !trail_->Write(record) && trail_->GetSettings().required;
  {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(&call);
    if (it != pending_.end()) {
      it->second.concluded = {refused ? Outcome::kRefused : Outcome::kWritten, target};
    }
  }
  if (refused) return Basalt::Status::IOError("the audit trail cannot record the change");
  return Basalt::Status::Ok();
}

ChangeRecords::Concluded ChangeRecords::Conclude(const Orbi::Core::ExecutionContext* call) {
  std::lock_guard lock(mutex_);
  auto node = pending_.extract(call);
  return node ? std::move(node.mapped().concluded) : Concluded{};
}

}  // namespace NoxToken::Audit
