// Records the decisions of the calls that pass it: placed just inside the authentication filters
// (around the entitlements filter, when there is one), it sees each call's caller, its input and
// its result.
//
//   token create, answered       token.issued (the token's entitlements and expiry, its digest)
//   token create, unauthenticated  credential.refused (no handler recognised the caller)
//   refused as unauthorized      access.denied (only the entitlements filter answers that)
//   profile or issuer create, set, delete   profile.* / issuer.*, ok or refused, with the target
//                                as it was before and after: written by the service inside the
//                                change's transaction (ChangeRecords), so that a change whose
//                                record is lost while the trail is required is rolled back; a
//                                refused record follows one whose commit then failed
//
// Other calls pass untouched, their callback unwrapped: verification and listing cost nothing.
// When the trail is required, a call whose record cannot be written is refused with `unavailable`,
// and a change is not attempted while the trail's file cannot be opened.
//
// Thread-safe: holds no mutable state of its own (ChangeRecords is thread-safe).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "apps/noxtokend/audit/auditRecord.h"
#include "apps/noxtokend/audit/auditTrail.h"
#include "apps/noxtokend/audit/changeRecords.h"
#include "platform/orbi/provider.h"

namespace NoxToken::Audit {

// A management target as it stands now, or nullopt when it does not exist. Takes its own locks.
using StateFn = std::function<std::optional<TargetState>(const std::string& target)>;

class AuditProvider final : public Orbi::Core::AsyncApiProvider,
                            public std::enable_shared_from_this<AuditProvider> {
 public:
  AuditProvider(Orbi::Core::ProviderPtr next, std::shared_ptr<Trail> trail,
                std::shared_ptr<const Orbi::Data::ErrorValue> unavailable, StateFn profileState,
                StateFn issuerState, std::shared_ptr<ChangeRecords> changes = nullptr);

  std::string ToString() const override { return "AuditProvider"; }
  void Invoke(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr input,
              Orbi::Core::ExecutionContextPtr context,
              Orbi::Core::AsyncApiResultCb resultCb) override;

 private:
  struct Change;

  // What to record of a finished call; the result to answer instead, or nullopt to keep it.
  using Observer = std::function<std::optional<Orbi::Core::MethodResult>(
      const Orbi::Core::ExecutionContext& context, const Orbi::Core::MethodResult& result)>;

  // Forwards the call and hands its final result to `observe` before answering it.
  void Forward(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr input,
               Orbi::Core::ExecutionContextPtr context, Orbi::Core::AsyncApiResultCb resultCb,
               Observer observe);
  std::optional<Orbi::Core::MethodResult> AfterTokenCreate(
      const Orbi::Core::ExecutionContext& context, const Orbi::Core::MethodResult& result) const;
  void InvokeChange(const Change& change, const Orbi::Core::MethodIdentifier& method,
                    Orbi::Data::ValuePtr input, Orbi::Core::ExecutionContextPtr context,
                    Orbi::Core::AsyncApiResultCb resultCb);
  // An access.denied record when the result is the entitlements filter's refusal.
  std::optional<Record> Denial(const Orbi::Core::MethodIdentifier& method,
                               const Orbi::Core::ExecutionContext& context,
                               const Orbi::Core::MethodResult& result) const;
  // Writes the record; when it is lost and the trail is required, the result to answer instead.
  std::optional<Orbi::Core::MethodResult> Keep(const Record& record) const;

  Orbi::Core::ProviderPtr next_;
  std::shared_ptr<Trail> trail_;
  std::shared_ptr<const Orbi::Data::ErrorValue> unavailable_;
  StateFn profileState_;
  StateFn issuerState_;
  std::shared_ptr<ChangeRecords> changes_;
};

}  // namespace NoxToken::Audit
