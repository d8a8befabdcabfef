#include "platform/orbi/samlVerifierFilter.h"

#include <cstdlib>

#include "platform/basalt/crypto/base64.h"
#include "platform/orbi/canonicalJson.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/frameworkIds.h"
#include "platform/orbi/json.h"

namespace Orbi::Security {
namespace {

// Refusals are runtime level 3 through the framework's logger adapter.
constexpr int kRefusalLevel = 4;

// Empty when `text` is not Base64: an empty signature or key is refused all the same.
std::vector<uint8_t> DecodeBase64(const std::string& text) {
  const auto bytes = Basalt::Crypto::DecodeBase64(text, Basalt::Crypto::Base64Alphabet::kStandard);
  return bytes ? std::vector<uint8_t>(bytes->begin(), bytes->end()) : std::vector<uint8_t>();
}

}  // namespace

AsyncSamlVerifierFilter::AsyncSamlVerifierFilter(
    Core::ProviderPtr next, SignatureVerifierFactoryPtr verifiers, SamlKeyExtractor keyExtractor,
    Core::LoggerPtr logger, int64_t windowSeconds, Basalt::System::UtcClock clock,
    std::shared_ptr<ProofReplayGuard> replays, Authn::AuthnObserver onRefused)
    : next_(std::move(next)),
      verifiers_(std::move(verifiers)),
      keyExtractor_(std::move(keyExtractor)),
      logger_(std::move(logger)),
      windowMicroseconds_(windowSeconds * 1000000),
      clock_(std::move(clock)),
      replays_(std::move(replays)),
      onRefused_(std::move(onRefused)) {}

void AsyncSamlVerifierFilter::Invoke(const Core::MethodIdentifier& method, Data::ValuePtr input,
                                     Core::ExecutionContextPtr context,
                                     Core::AsyncApiResultCb resultCb) {
  const std::string* scheme = context->FindSecurity(kSchemeIdKey);
  if (!scheme || *scheme != kSamlHokScheme) {
    next_->Invoke(method, std::move(input), std::move(context), std::move(resultCb));
    return;
  }
  const std::string* token = context->FindSecurity(kSamlHokTokenKey);
  const std::string* algorithm = context->FindSecurity(kSamlHokAlgorithmKey);
  if (token && algorithm) {
    std::string refusal;
    std::shared_ptr<const Core::VerifiedCredential> verified;
    try {
      refusal = CheckProof(method, input, *context, *token, *algorithm, verified);
    } catch (const std::exception& e) {
      refusal = e.what();
    }
    if (!refusal.empty()) {
      if (logger_ && logger_->IsEnabled(kRefusalLevel)) {
        logger_->Log(kRefusalLevel,
                     "Request signature refused for " + method.ToString() + ": " + refusal);
      }
      auto error = Std::Unauthenticated().ToErrorValue();
      if (onRefused_) onRefused_(*context, error.get());
      resultCb(Core::MethodResult::Failure(std::move(error)), std::nullopt, nullptr);
      return;
    }
    context->verifiedCredential = std::move(verified);
  }
  next_->Invoke(method, std::move(input), std::move(context), std::move(resultCb));
}

std::string AsyncSamlVerifierFilter::CheckProof(
    const Core::MethodIdentifier& method, const Data::ValuePtr& input,
    const Core::ExecutionContext& context, const std::string& token, const std::string& algorithm,
    std::shared_ptr<const Core::VerifiedCredential>& verified) const {
  const std::string* timestamp = context.FindSecurity(kSignatureTimestampKey);
  const std::string* signatureValue = context.FindSecurity(kSignatureValueKey);
  if (!timestamp || !signatureValue) return "no signatureTimestamp or signatureValue";
  Basalt::System::DateTime signedAt;
  try {
    signedAt = Basalt::System::DateTime(*timestamp);
  } catch (const Basalt::DateTimeFormatException&) {
    return "signatureTimestamp is not an ISO 8601 time";
  }
  // Both counts are bounded by the date parser's years, so the difference cannot overflow.
  const int64_t now = clock_().GetUtcTime();
  if (std::llabs(now - signedAt.GetUtcTime()) > windowMicroseconds_) {
    return "signatureTimestamp " + *timestamp + " is outside the accepted window";
  }
  const std::vector<uint8_t> signature = DecodeBase64(*signatureValue);
  if (signature.empty()) return "signatureValue is not Base64";

  Json::JsonPtr signedObject(json_object());
  json_object_set_new(signedObject.get(), "input",
                      input ? Json::ToJson(*input, Json::Encoding::kClean).release() : json_null());
  json_object_set_new(signedObject.get(), "operationId",
                      json_stringn(method.operationName.data(), method.operationName.size()));
  json_object_set_new(signedObject.get(), "serviceId",
                      json_stringn(method.interfaceId.data(), method.interfaceId.size()));
  json_object_set_new(signedObject.get(), "timestamp",
                      json_stringn(timestamp->data(), timestamp->size()));
  const std::optional<std::string> message = Json::Canonicalize(*signedObject);
  if (!message) return "the input has no canonical form";

  SamlConfirmation confirmation = keyExtractor_(token);
  const std::string& key = confirmation.key;
  if (key.empty()) return "no confirmation key for the token";
  const auto verifier = verifiers_->Create(algorithm, DecodeBase64(key));
  if (!verifier) return "algorithm " + algorithm + " does not fit the confirmation key";
  if (!verifier->Verify(*message, signature)) return "the signature does not verify";
  // Only a proof that verified takes a place: a forged one must not crowd out genuine ones.
  if (!replays_) {
    verified = std::move(confirmation.verified);
    return {};
  }
  switch (replays_->Admit(ProofReplayGuard::Identify(algorithm, key, *message), now,
                          signedAt.GetUtcTime() + windowMicroseconds_)) {
    case ProofReplayGuard::Verdict::kFresh:
      verified = std::move(confirmation.verified);
      return {};
    case ProofReplayGuard::Verdict::kReplayed:
      return "the proof was accepted before; a replay";
    case ProofReplayGuard::Verdict::kFull:
      break;
  }
  return "too many proofs within the window to remember another";
}

}  // namespace Orbi::Security
