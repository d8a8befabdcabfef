#include "platform/authn/unverifiedClaims.h"

#include "platform/basalt/crypto/base64.h"
#include "platform/orbi/jsonBounds.h"
#include "platform/orbi/jsonQuickReader.h"

namespace Nox::Authn {

namespace {

// Bounds the quick reader's recursion; deeper claims go to Jansson, which bounds its own.
constexpr Orbi::Json::DocumentBounds kClaimsBounds{16, kMaxUnverifiedPayloadLength};

}  // namespace

std::optional<std::string> UnverifiedPayload(std::string_view token) {
  const std::size_t first = token.find('.');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = token.find('.', first + 1);
  if (second == std::string_view::npos || second - first - 1 > kMaxUnverifiedPayloadLength) {
    return std::nullopt;
  }
  return Basalt::Crypto::DecodeBase64(token.substr(first + 1, second - first - 1),
                                      Basalt::Crypto::Base64Alphabet::kUrl);
}

Basalt::Json::JsonPtr ReadPayloadClaims(std::string_view payload) {
  // The daemon's own claims are plain JSON, which the quick reader takes at a fraction of
  // Jansson's cost; anything it gives up on is Jansson's to judge, so what is read is unchanged.
  Basalt::Json::JsonPtr claims;
  if (Orbi::Json::CheckBounds(payload, kClaimsBounds).empty()) {
    claims = Orbi::Json::ReadPlainJson(payload);
  }
  if (!claims) claims.reset(json_loadb(payload.data(), payload.size(), 0, nullptr));
  return json_is_object(claims.get()) ? std::move(claims) : nullptr;
}

Basalt::Json::JsonPtr ReadUnverifiedClaims(std::string_view token) {
  const auto payload = UnverifiedPayload(token);
  return payload ? ReadPayloadClaims(*payload) : nullptr;
}

}  // namespace Nox::Authn
