#include "platform/authn/unverifiedClaims.h"

#include "platform/basalt/crypto/base64.h"

namespace Nox::Authn {

Basalt::Json::JsonPtr ReadUnverifiedClaims(std::string_view token) {
  const std::size_t first = token.find('.');
  if (first == std::string_view::npos) return nullptr;
  const std::size_t second = token.find('.', first + 1);
  if (second == std::string_view::npos || second - first - 1 > kMaxUnverifiedPayloadLength) {
    return nullptr;
  }
  const auto payload = Basalt::Crypto::DecodeBase64(token.substr(first + 1, second - first - 1),
                                                    Basalt::Crypto::Base64Alphabet::kUrl);
  if (!payload) return nullptr;
  Basalt::Json::JsonPtr claims(json_loadb(payload->data(), payload->size(), 0, nullptr));
  return json_is_object(claims.get()) ? std::move(claims) : nullptr;
}

}  // namespace Nox::Authn
