// Verification of the daemon's own tokens: compact JWS, HS256 only, under the signing secret.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Nox::Authn {

struct OwnTokenClaims {
  std::string username;
  int64_t exp = 0;
  std::vector<std::string> entitlements;
  bool hasEntitlementClaim = false;
};

enum class OwnTokenError {
  Malformed,
  UnsupportedAlgorithm,
  BadSignature,
  Expired,
  MissingClaim,
  TooLarge
};

// A short English text for logs, e.g. "token signature does not verify".
const char* Describe(OwnTokenError error);

inline constexpr std::size_t kMaxOwnTokenLength = 16 * 1024;

// Checks, in order: size, shape (three strict base64url parts), the header's "alg" (exactly
// "HS256"; "none", any other and a missing one are refused), the HMAC-SHA256 signature in constant
// time, then the claims: "username" non-empty string and "exp" integer required, refused once
// nowSeconds >= exp, "entitlement" optional array of strings. JSON must be UTF-8 and shallow. An
// empty key never verifies.
std::variant<OwnTokenClaims, OwnTokenError> VerifyOwnToken(std::string_view token,
                                                           std::string_view key,
                                                           int64_t nowSeconds);

}  // namespace Nox::Authn
