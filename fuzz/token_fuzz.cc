// Feeds arbitrary bytes to what reads a caller's token before it is trusted: base64url decoding
// (which must give back exactly the text it accepted), the own-token verifier, the strict read of
// an external token's header and payload, and the unverified claims reader. The same bytes, as a
// user name and entitlements, go through the token writer: the verifier must read back exactly
// what was written.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "apps/noxtokend/orbi/externalSts/externalJwtAlgorithms.h"
#include "platform/authn/ownTokenVerifier.h"
#include "platform/authn/ownTokenWriter.h"
#include "platform/authn/unverifiedClaims.h"
#include "platform/basalt/crypto/base64.h"
#include "platform/orbi/utf8.h"

namespace {

using Basalt::Crypto::Base64Alphabet;

void CheckBase64(std::string_view text) {
  if (auto bytes = Basalt::Crypto::DecodeBase64(text, Base64Alphabet::kUrl)) {
    if (Basalt::Crypto::EncodeBase64(*bytes, Base64Alphabet::kUrl) != text) __builtin_trap();
  }
  if (auto bytes = Basalt::Crypto::DecodeBase64(text, Base64Alphabet::kStandard)) {
    const std::string again = Basalt::Crypto::EncodeBase64(*bytes, Base64Alphabet::kStandard);
    if (Basalt::Crypto::DecodeBase64(again, Base64Alphabet::kStandard) != bytes) __builtin_trap();
  }
}

// The first line is the user name, each further line an entitlement.
void CheckWrittenTokenReadsBack(std::string_view text, const Nox::Authn::OwnTokenKey& key) {
  if (text.size() > 1024 || text.find('\0') != std::string_view::npos ||
      !Orbi::Json::IsValidUtf8(text)) {
    return;
  }
  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    const size_t end = text.find('\n', start);
    lines.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  Nox::Authn::OwnTokenClaims claims;
  claims.exp = 4000000000;
  claims.username = lines.front();
  claims.entitlements.assign(lines.begin() + 1, lines.end());
  claims.hasEntitlementClaim = !claims.entitlements.empty();
  if (claims.username.empty()) return;  // a token without a user name is refused by design
  const auto token = Nox::Authn::WriteOwnToken(claims, key);
  if (!token) __builtin_trap();
  const auto read = Nox::Authn::VerifyOwnToken(*token, key, 1);
  if (!read || read->username != claims.username || read->exp != claims.exp ||
      read->entitlements != claims.entitlements ||
      read->hasEntitlementClaim != claims.hasEntitlementClaim) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Nox::Authn::OwnTokenKey key("fuzz-signing-secret");
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckBase64(text);
  (void)Nox::Authn::VerifyOwnToken(text, key, 1);
  (void)Nox::Authn::ReadExternalTokenHeader(text);
  (void)Nox::Authn::ReadUnverifiedClaims(text);
  CheckWrittenTokenReadsBack(text, key);
  return 0;
}
