// Optional checks of external tokens beyond their signature and expiry, chosen by the
// configuration's "externalTokens" element. Without it nothing more is checked.
//
//   <externalTokens>
//     <audience>https://host.example/nox</audience>  (repeatable) a JWT's "aud" (a string or an
//         array) or a SAML assertion's AudienceRestriction must hold one of these values
//     <checkNotBefore>true</checkNotBefore>  a JWT's "nbf" and "iat" may lie in the future by
//     <clockSkewSeconds>60</clockSkewSeconds>  at most this many seconds (default 60)
//     <checkConfirmationExpiry>true</checkConfirmationExpiry>  a SAML holder-of-key assertion's
//         SubjectConfirmationData/@NotOnOrAfter, when it has one, may have passed by at most
//         clockSkewSeconds
//   </externalTokens>
//
// Each rule is a named check with its own refusal. Immutable once read: shared by the handlers
// of all calls.
#pragma once

#include <jansson.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/basalt/config.h"
#include "platform/basalt/dateTime.h"

namespace Nox::Authn {

enum class ExternalTokenCheck {
  kAudienceNotAccepted,  // no accepted audience among the token's (or it names none)
  kNotYetValid,          // "nbf" beyond now + skew, or not a number
  kIssuedInFuture,       // "iat" beyond now + skew, or not a number
  kConfirmationExpired,  // SubjectConfirmationData/@NotOnOrAfter + skew at or before now
};

// "audience not accepted", "not yet valid (nbf)", "issued in the future (iat)", "confirmation
// expired (SubjectConfirmationData NotOnOrAfter)".
const char* Describe(ExternalTokenCheck check);

struct ExternalTokenRefusal {
  ExternalTokenCheck check;
  std::string found;  // what the token holds, for the log: the audience list or the claim's value
};

struct ExternalTokenPolicy {
  static constexpr int64_t kDefaultClockSkewSeconds = 60;
  static constexpr int64_t kMaxClockSkewSeconds = 86400;

  std::vector<std::string> audiences;  // empty: any audience
  bool checkNotBefore = false;
  bool checkConfirmationExpiry = false;
  int64_t clockSkewSeconds = kDefaultClockSkewSeconds;

  // Throws Basalt::Exception naming the element for an empty audience, a checkNotBefore or
  // checkConfirmationExpiry other than "true" or "false", or a skew outside 0 to
  // kMaxClockSkewSeconds.
  static ExternalTokenPolicy FromConfig(const Basalt::Service::Config& config);

  bool ChecksJwtClaims() const { return !audiences.empty() || checkNotBefore; }

  // The choice in force, for the start-up log.
  std::string Describe() const;

  // The JWT's claims (a JSON object) against the policy at `nowSeconds`.
  std::optional<ExternalTokenRefusal> CheckJwt(const json_t& claims, int64_t nowSeconds) const;
  // A SAML assertion's AudienceRestriction (empty when it has none).
  std::optional<ExternalTokenRefusal> CheckSamlAudience(
      const std::set<std::string>& audience) const;
  // A SAML holder-of-key assertion's confirmation NotOnOrAfter (unset when it has none) at `now`;
  // admitted when checkConfirmationExpiry is off.
  std::optional<ExternalTokenRefusal> CheckSamlConfirmationExpiry(
      const std::optional<Basalt::System::DateTime>& notOnOrAfter,
      Basalt::System::DateTime now) const;

 private:
  std::optional<ExternalTokenRefusal> CheckAudience(const std::vector<std::string>& found) const;
};

}  // namespace Nox::Authn
