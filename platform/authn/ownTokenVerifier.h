// Verification of the daemon's own tokens: compact JWS, HS256 only, under the signing secret.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/basalt/result.h"

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

// The signing secret with its HMAC-SHA256 state keyed once: a one-shot HMAC() looks the algorithms
// up in OpenSSL 3's provider tables on every call, which costs more than hashing a token.
// Immutable after construction; one instance may serve any number of threads at once.
//
// Each thread signs with a copy of the keyed state of its own, made at its first signature under
// a key and reset to that key (not copied again) for the next: copying the whole HMAC state and
// releasing it cost more than the digest of a token. A thread keeps the copy of the last key it
// signed with until it signs under another key or ends.
class OwnTokenKey {
 public:
  // Throws std::runtime_error when OpenSSL cannot set the key up.
  explicit OwnTokenKey(std::string_view secret);

  const std::string& Secret() const { return secret_; }
  // HMAC-SHA256 of `input` into `mac`; false when the key is empty or OpenSSL fails.
  bool Sign(std::string_view input, unsigned char (&mac)[32]) const;

 private:
  struct MacCtxDeleter {
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
  };
  using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, MacCtxDeleter>;
  struct ThreadCopy;

  std::string secret_;
  MacCtxPtr keyed_;  // what each thread's copy starts from
  // Unique in the process: a thread's copy is of this key only if it carries this id, even when
  // a later key takes the address of an earlier one.
  uint64_t id_;
};

// The claims of a token that verifies, or why it was refused.
using OwnTokenResult = Basalt::Result<OwnTokenClaims, OwnTokenError>;

// Checks, in order: size, shape (three strict base64url parts), the header's "alg" (exactly
// "HS256"; "none", any other and a missing one are refused), the HMAC-SHA256 signature in constant
// time, then the claims: "username" non-empty string and "exp" integer required, refused once
// nowSeconds >= exp, "entitlement" optional array of strings. JSON must be UTF-8 and shallow. An
// empty key never verifies.
OwnTokenResult VerifyOwnToken(std::string_view token, const OwnTokenKey& key, int64_t nowSeconds);
// The same, keying HMAC for this one call.
OwnTokenResult VerifyOwnToken(std::string_view token, std::string_view key, int64_t nowSeconds);

}  // namespace Nox::Authn
