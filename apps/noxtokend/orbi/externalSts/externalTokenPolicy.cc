#include "apps/noxtokend/orbi/externalSts/externalTokenPolicy.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/basalt/exception.h"

namespace Nox::Authn {

namespace {

constexpr const char* kAudienceKey = "externalTokens/audience";
constexpr const char* kCheckNotBeforeKey = "externalTokens/checkNotBefore";
constexpr const char* kClockSkewKey = "externalTokens/clockSkewSeconds";
constexpr const char* kCheckConfirmationExpiryKey = "externalTokens/checkConfirmationExpiry";
constexpr int64_t kMicrosPerSecond = 1'000'000;

std::string ListText(const std::vector<std::string>& items) {
  std::string text = "[";
  for (const auto& item : items) text += (text.size() > 1 ? ", " : "") + item;
  return text + "]";
}

// A time claim later than `latest`: refused, as is one that is no number.
std::optional<ExternalTokenRefusal> CheckTimeClaim(const json_t& claims, const char* name,
                                                   ExternalTokenCheck check, int64_t latest) {
  const json_t* value = json_object_get(&claims, name);
  if (!value) return std::nullopt;
  if (!json_is_number(value)) return ExternalTokenRefusal{check, "not a number"};
  const double seconds = json_number_value(value);
  if (std::isfinite(seconds) && seconds <= static_cast<double>(latest)) return std::nullopt;
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", seconds);
  return ExternalTokenRefusal{check, text};
}

}  // namespace

const char* Describe(ExternalTokenCheck check) {
  switch (check) {
    case ExternalTokenCheck::kAudienceNotAccepted:
      return "audience not accepted";
    case ExternalTokenCheck::kNotYetValid:
      return "not yet valid (nbf)";
    case ExternalTokenCheck::kIssuedInFuture:
      return "issued in the future (iat)";
    case ExternalTokenCheck::kConfirmationExpired:
      return "confirmation expired (SubjectConfirmationData NotOnOrAfter)";
  }
  return "refused";
}

ExternalTokenPolicy ExternalTokenPolicy::FromConfig(const Basalt::Service::Config& config) {
  ExternalTokenPolicy policy;
  for (const auto& element : config.GetElements(kAudienceKey)) {
    if (element.text.empty()) throw Basalt::Exception(std::string(kAudienceKey) + " is empty");
    policy.audiences.push_back(element.text);
  }
  config.GetBool(kCheckNotBeforeKey, policy.checkNotBefore);
  config.GetBool(kCheckConfirmationExpiryKey, policy.checkConfirmationExpiry);
  if (config.GetInt(kClockSkewKey, policy.clockSkewSeconds) &&
      (policy.clockSkewSeconds < 0 || policy.clockSkewSeconds > kMaxClockSkewSeconds)) {
    throw Basalt::Exception(std::string(kClockSkewKey) + " must lie between 0 and " +
                            std::to_string(kMaxClockSkewSeconds));
  }
  return policy;
}

std::string ExternalTokenPolicy::Describe() const {
  std::string text = audiences.empty() ? "any audience" : "audience one of " + ListText(audiences);
  text += checkNotBefore
              ? "; \"nbf\" and \"iat\" at most " + std::to_string(clockSkewSeconds) + " s ahead"
              : "; \"nbf\" and \"iat\" not checked";
  // Named only when on: the line stays as it was for configurations without the setting.
  if (checkConfirmationExpiry) {
    text +=
        "; SAML confirmation NotOnOrAfter at most " + std::to_string(clockSkewSeconds) + " s past";
  }
  return text;
}

std::optional<ExternalTokenRefusal> ExternalTokenPolicy::CheckAudience(
    const std::vector<std::string>& found) const {
  if (audiences.empty()) return std::nullopt;
  for (const auto& audience : found) {
    if (std::find(audiences.begin(), audiences.end(), audience) != audiences.end()) {
      return std::nullopt;
    }
  }
  return ExternalTokenRefusal{ExternalTokenCheck::kAudienceNotAccepted, ListText(found)};
}

std::optional<ExternalTokenRefusal> ExternalTokenPolicy::CheckJwt(const json_t& claims,
                                                                  int64_t nowSeconds) const {
  if (!audiences.empty()) {
    // "aud" is one string or an array of them; anything else names no audience.
    std::vector<std::string> found;
    const json_t* aud = json_object_get(&claims, "aud");
    if (json_is_string(aud)) found.emplace_back(json_string_value(aud), json_string_length(aud));
    size_t index;
    const json_t* item;
    json_array_foreach(aud, index, item) {
      if (json_is_string(item))
        found.emplace_back(json_string_value(item), json_string_length(item));
    }
    if (auto refusal = CheckAudience(found)) return refusal;
  }
  if (!checkNotBefore) return std::nullopt;
  const int64_t latest = nowSeconds + clockSkewSeconds;
  if (auto refusal = CheckTimeClaim(claims, "nbf", ExternalTokenCheck::kNotYetValid, latest)) {
    return refusal;
  }
  return CheckTimeClaim(claims, "iat", ExternalTokenCheck::kIssuedInFuture, latest);
}

std::optional<ExternalTokenRefusal> ExternalTokenPolicy::CheckSamlAudience(
    const std::set<std::string>& audience) const {
  return CheckAudience({audience.begin(), audience.end()});
}

std::optional<ExternalTokenRefusal> ExternalTokenPolicy::CheckSamlConfirmationExpiry(
    const std::optional<Basalt::System::DateTime>& notOnOrAfter,
    Basalt::System::DateTime now) const {
  if (!checkConfirmationExpiry || !notOnOrAfter) return std::nullopt;
  // Not on or after: the instant itself is past, as for the Conditions' NotOnOrAfter.
  if (notOnOrAfter->GetUtcTime() + clockSkewSeconds * kMicrosPerSecond > now.GetUtcTime()) {
    return std::nullopt;
  }
  return ExternalTokenRefusal{ExternalTokenCheck::kConfirmationExpired, notOnOrAfter->ToString()};
}

}  // namespace Nox::Authn
