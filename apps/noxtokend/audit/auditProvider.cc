#include "apps/noxtokend/audit/auditProvider.h"

#include "apps/noxtokend/audit/auditCall.h"
#include "platform/bindings/clientProfilesSvc.h"
#include "platform/bindings/securityTokenIssuersSvc.h"
#include "platform/bindings/tokenSvc.h"

namespace NoxToken::Audit {

namespace {

namespace Auth = Com::Tessel::Nox::Authentication;
using Orbi::Core::MethodResult;

const std::string* InputString(const Orbi::Data::ValuePtr& input, const char* field) {
  auto value = Orbi::Data::As<Orbi::Data::StructValue>(input);
  return value ? value->GetString(field) : nullptr;
}

}  // namespace

struct AuditProvider::Change {
  Event event;
  const StateFn* state;
  // Where the target's name is: an input field, a field of the input's `spec`, or (nullptr) the
  // output.
  const char* inputField;
  const char* specField;
};

AuditProvider::AuditProvider(Orbi::Core::ProviderPtr next, std::shared_ptr<Trail> trail,
                             std::shared_ptr<const Orbi::Data::ErrorValue> unavailable,
                             StateFn profileState, StateFn issuerState,
                             std::shared_ptr<ChangeRecords> changes)
    : next_(std::move(next)),
      trail_(std::move(trail)),
      unavailable_(std::move(unavailable)),
      profileState_(std::move(profileState)),
      issuerState_(std::move(issuerState)),
      changes_(std::move(changes)) {}

void AuditProvider::Invoke(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr input,
                           Orbi::Core::ExecutionContextPtr context,
                           Orbi::Core::AsyncApiResultCb resultCb) {
  const std::string& service = method.interfaceId;
  const std::string& operation = method.operationName;
  if (service == Auth::TokenSvc::kServiceId && operation == "create") {
    auto self = shared_from_this();
    Forward(
        method, std::move(input), std::move(context), std::move(resultCb),
        [self, method](const Orbi::Core::ExecutionContext& context, const MethodResult& result) {
          if (auto denial = self->Denial(method, context, result)) return self->Keep(*denial);
          return self->AfterTokenCreate(context, result);
        });
    return;
  }
  bool profiles = service == Auth::ClientProfilesSvc::kServiceId;
  if (!profiles && service != Auth::Trust::SecurityTokenIssuersSvc::kServiceId) {
    next_->Invoke(method, std::move(input), std::move(context), std::move(resultCb));
    return;
  }
  const StateFn* state = profiles ? &profileState_ : &issuerState_;
  const char* targetField = profiles ? "profile" : "issuer_alias";
  if (operation == "create") {
    InvokeChange({profiles ? Event::kProfileCreated : Event::kIssuerCreated, state, nullptr,
                  profiles ? nullptr : "issuer_alias"},
                 method, std::move(input), std::move(context), std::move(resultCb));
  } else if (operation == "set") {
    InvokeChange(
        {profiles ? Event::kProfileChanged : Event::kIssuerChanged, state, targetField, nullptr},
        method, std::move(input), std::move(context), std::move(resultCb));
  } else if (operation == "delete") {
    InvokeChange(
        {profiles ? Event::kProfileDeleted : Event::kIssuerDeleted, state, targetField, nullptr},
        method, std::move(input), std::move(context), std::move(resultCb));
  } else {
    auto self = shared_from_this();
    Forward(method, std::move(input), std::move(context), std::move(resultCb),
            [self, method](const Orbi::Core::ExecutionContext& context,
                           const MethodResult& result) -> std::optional<MethodResult> {
              if (auto denial = self->Denial(method, context, result)) return self->Keep(*denial);
              return std::nullopt;
            });
  }
}

void AuditProvider::Forward(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr input,
                            Orbi::Core::ExecutionContextPtr context,
                            Orbi::Core::AsyncApiResultCb resultCb, Observer observe) {
  auto observed = [context, resultCb = std::move(resultCb), observe = std::move(observe)](
                      std::optional<MethodResult> result,
                      std::optional<Orbi::Core::Progress> progress,
                      Orbi::Core::Continuation continuation) {
    if (result) {
      if (auto replaced = observe(*context, *result)) result = std::move(replaced);
    }
    resultCb(std::move(result), progress, std::move(continuation));
  };
  next_->Invoke(method, std::move(input), context, std::move(observed));
}

std::optional<Record> AuditProvider::Denial(const Orbi::Core::MethodIdentifier& method,
                                            const Orbi::Core::ExecutionContext& context,
                                            const MethodResult& result) const {
  if (!result.HasError() || result.error->GetErrorKind() != "unauthorized") return std::nullopt;
  Record record = NewRecord(Event::kAccessDenied, context);
  record.reason = RefusalReason(*result.error);
  record.service = method.interfaceId;
  record.operation = method.operationName;
  return record;
}

std::optional<MethodResult> AuditProvider::AfterTokenCreate(
    const Orbi::Core::ExecutionContext& context, const MethodResult& result) const {
  if (result.HasError()) {
    // Only a caller that no handler recognised is a refused credential here; the service's other
    // failures are its own (the signing key) and go to the diagnostic log.
    if (result.error->GetErrorKind() != "unauthenticated") return std::nullopt;
    Record record = NewRecord(Event::kCredentialRefused, context);
    record.reason = RefusalReason(*result.error);
    return Keep(record);
  }
  Record record = NewRecord(Event::kTokenIssued, context);
  auto info = Orbi::Data::As<Orbi::Data::StructValue>(result.output);
  if (const std::string* token = info ? info->GetString("token") : nullptr) {
    TokenClaims claims = ReadUncheckedClaims(*token);
    record.entitlements = std::move(claims.entitlements);
    record.expires = claims.expires;
    record.tokenSha256 = TokenDigest(*token);
  }
  return Keep(record);
}

void AuditProvider::InvokeChange(const Change& change, const Orbi::Core::MethodIdentifier& method,
                                 Orbi::Data::ValuePtr input,
                                 Orbi::Core::ExecutionContextPtr context,
                                 Orbi::Core::AsyncApiResultCb resultCb) {
  // Fail closed before the change is made, not after: a change nobody can account for is refused.
  if (trail_->RefusesChanges()) {
    resultCb(MethodResult::Failure(unavailable_), std::nullopt, nullptr);
    return;
  }
  Record prepared = NewRecord(change.event, *context);
  prepared.service = method.interfaceId;
  prepared.operation = method.operationName;
  if (const std::string* named =
          change.inputField ? InputString(input, change.inputField) : nullptr) {
    prepared.target = *named;
  } else if (change.specField) {
    auto call = Orbi::Data::As<Orbi::Data::StructValue>(input);
    auto spec = call ? Orbi::Data::As<Orbi::Data::StructValue>(call->GetField("spec")) : nullptr;
    if (const std::string* named = spec ? spec->GetString(change.specField) : nullptr) {
      prepared.target = *named;
    }
  }
  if (!prepared.target.empty() && *change.state && change.event != Event::kProfileCreated &&
      change.event != Event::kIssuerCreated) {
    prepared.before = (*change.state)(prepared.target);
  }
  // The service writes the record inside the change's transaction (ChangeRecords::Witness).
  if (changes_) changes_->Expect(context.get(), prepared);
  auto self = shared_from_this();
  Forward(method, std::move(input), std::move(context), std::move(resultCb),
          [self, method, change, prepared = std::move(prepared)](
              const Orbi::Core::ExecutionContext& context,
              const MethodResult& result) -> std::optional<MethodResult> {
            const auto [witnessed, witnessedTarget] =
                self->changes_ ? self->changes_->Conclude(&context) : ChangeRecords::Concluded{};
            if (auto denial = self->Denial(method, context, result)) {
              denial->target = prepared.target;
              return self->Keep(*denial);
            }
            if (witnessed == ChangeRecords::Outcome::kRefused) {
              return MethodResult::Failure(self->unavailable_);  // rolled back, loss logged
            }
            Record record = prepared;
            record.timeMs = RecordTimeNow();
            if (auto name = Orbi::Data::As<Orbi::Data::StringValue>(result.output)) {
              record.target = name->GetValue();  // a new profile's name is its answer
            } else if (!witnessedTarget.empty()) {
              record.target = witnessedTarget;
            }
            if (result.HasError()) {
              // After a written record too: the commit that followed it failed, so the change
              // did not stand, and the trail says so.
              record.reason = RefusalReason(*result.error);
              self->Keep(record);  // refused either way
              return std::nullopt;
            }
            if (witnessed == ChangeRecords::Outcome::kWritten) return std::nullopt;
            // A service without a witness: recorded once it stands.
            bool deleted =
                change.event == Event::kProfileDeleted || change.event == Event::kIssuerDeleted;
            if (!deleted && !record.target.empty() && *change.state)
              record.after = (*change.state)(record.target);
            return self->Keep(record);
          });
}

std::optional<MethodResult> AuditProvider::Keep(const Record& record) const {
  if (trail_->Write(record) || !trail_->GetSettings().required) return std::nullopt;
  return MethodResult::Failure(unavailable_);
}

}  // namespace NoxToken::Audit
