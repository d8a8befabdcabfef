#include "platform/authn/ownTokenVerifier.h"

#include <jansson.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>

#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/jsonHandle.h"
#include "platform/orbi/jsonBounds.h"

namespace Nox::Authn {
namespace {

// Our tokens nest two levels deep and hold a few dozen values; Jansson recurses per level and
// allocates per value, so larger input stops here first.
constexpr Orbi::Json::DocumentBounds kClaimBounds{8, 4096};

using Basalt::Json::JsonPtr;

// Jansson's defaults already refuse invalid UTF-8, "\u0000" in strings and trailing text.
JsonPtr ParseObject(std::string_view text) {
  if (!Orbi::Json::CheckBounds(text, kClaimBounds).empty()) return nullptr;
  json_error_t error;
  JsonPtr json(json_loadb(text.data(), text.size(), JSON_REJECT_DUPLICATES, &error));
  if (!json || !json_is_object(json.get())) return nullptr;
  return json;
}

std::string_view StringOf(const json_t* json) {
  return {json_string_value(json), json_string_length(json)};
}

bool HasValidSignature(std::string_view signingInput, std::string_view signature,
                       const OwnTokenKey& key) {
  unsigned char mac[SHA256_DIGEST_LENGTH];
  if (signature.size() != sizeof(mac) || !key.Sign(signingInput, mac)) return false;
  return CRYPTO_memcmp(mac, signature.data(), sizeof(mac)) == 0;
}

struct MacDeleter {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};

OwnTokenResult ReadClaims(const json_t* payload, int64_t nowSeconds) {
  const json_t* username = json_object_get(payload, "username");
  const json_t* exp = json_object_get(payload, "exp");
  if (username == nullptr || exp == nullptr) return Basalt::Unexpected{OwnTokenError::MissingClaim};
  if (!json_is_string(username) || !json_is_integer(exp))
    return Basalt::Unexpected{OwnTokenError::Malformed};

  OwnTokenClaims claims;
  claims.username = StringOf(username);
  // A token for nobody is no credential: refused like one without the claim.
  if (claims.username.empty()) return Basalt::Unexpected{OwnTokenError::MissingClaim};
  claims.exp = json_integer_value(exp);
  if (const json_t* entitlement = json_object_get(payload, "entitlement")) {
    if (!json_is_array(entitlement)) return Basalt::Unexpected{OwnTokenError::Malformed};
    claims.hasEntitlementClaim = true;
    size_t index;
    const json_t* value;
    json_array_foreach(entitlement, index, value) {
      if (!json_is_string(value)) return Basalt::Unexpected{OwnTokenError::Malformed};
      claims.entitlements.emplace_back(StringOf(value));
    }
  }
  if (nowSeconds >= claims.exp) return Basalt::Unexpected{OwnTokenError::Expired};
  return claims;
}

std::atomic<uint64_t> gNextKeyId{1};

}  // namespace

struct OwnTokenKey::ThreadCopy {
  uint64_t keyId = 0;  // 0: none, or not usable
  MacCtxPtr ctx;
};

OwnTokenKey::OwnTokenKey(std::string_view secret)
    : secret_(secret), id_(gNextKeyId.fetch_add(1, std::memory_order_relaxed)) {
  if (secret_.empty()) return;  // never verifies; see Sign
  const std::unique_ptr<EVP_MAC, MacDeleter> hmac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (hmac) keyed_.reset(EVP_MAC_CTX_new(hmac.get()));
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_END};
  if (!keyed_ || EVP_MAC_init(keyed_.get(), reinterpret_cast<const unsigned char*>(secret_.data()),
                              secret_.size(), params) != 1) {
    throw std::runtime_error("Cannot prepare HMAC-SHA256");
  }
}

bool OwnTokenKey::Sign(std::string_view input, unsigned char (&mac)[32]) const {
  if (!keyed_) return false;
  thread_local ThreadCopy copy;
  if (copy.keyId == id_) {
    // A null key keeps the one the copy holds and starts a new message.
    if (EVP_MAC_init(copy.ctx.get(), nullptr, 0, nullptr) != 1) copy.keyId = 0;
  }
  if (copy.keyId != id_) {
    copy.ctx.reset(EVP_MAC_CTX_dup(keyed_.get()));
    if (!copy.ctx) return false;
    copy.keyId = id_;
  }
  size_t length = 0;
  if (EVP_MAC_update(copy.ctx.get(), reinterpret_cast<const unsigned char*>(input.data()),
                     input.size()) == 1 &&
      EVP_MAC_final(copy.ctx.get(), mac, &length, sizeof(mac)) == 1 && length == sizeof(mac)) {
    return true;
  }
  copy.keyId = 0;  // a copy in an unknown state is made again
  return false;
}

const char* Describe(OwnTokenError error) {
  switch (error) {
    case OwnTokenError::Malformed:
      return "token is malformed";
    case OwnTokenError::UnsupportedAlgorithm:
      return "token algorithm is not HS256";
    case OwnTokenError::BadSignature:
      return "token signature does not verify";
    case OwnTokenError::Expired:
      return "token has expired";
    case OwnTokenError::MissingClaim:
      return "token lacks a required claim";
    case OwnTokenError::TooLarge:
      return "token is too large";
  }
  return "token is invalid";
}

OwnTokenResult VerifyOwnToken(std::string_view token, std::string_view key, int64_t nowSeconds) {
  return VerifyOwnToken(token, OwnTokenKey(key), nowSeconds);
}

OwnTokenResult VerifyOwnToken(std::string_view token, const OwnTokenKey& key, int64_t nowSeconds) {
  if (token.size() > kMaxOwnTokenLength) return Basalt::Unexpected{OwnTokenError::TooLarge};
  const size_t firstDot = token.find('.');
  const size_t secondDot =
      firstDot == std::string_view::npos ? firstDot : token.find('.', firstDot + 1);
  if (secondDot == std::string_view::npos ||
      token.find('.', secondDot + 1) != std::string_view::npos) {
    return Basalt::Unexpected{OwnTokenError::Malformed};
  }
  const std::string_view headerPart = token.substr(0, firstDot);
  const std::string_view payloadPart = token.substr(firstDot + 1, secondDot - firstDot - 1);
  const std::optional<std::string> headerText =
      Basalt::Crypto::DecodeBase64(headerPart, Basalt::Crypto::Base64Alphabet::kUrl);
  const std::optional<std::string> payloadText =
      Basalt::Crypto::DecodeBase64(payloadPart, Basalt::Crypto::Base64Alphabet::kUrl);
  const std::optional<std::string> signature = Basalt::Crypto::DecodeBase64(
      token.substr(secondDot + 1), Basalt::Crypto::Base64Alphabet::kUrl);
  if (headerPart.empty() || payloadPart.empty() || !headerText || !payloadText || !signature) {
    return Basalt::Unexpected{OwnTokenError::Malformed};
  }

  const JsonPtr header = ParseObject(*headerText);
  if (!header) return Basalt::Unexpected{OwnTokenError::Malformed};
  const json_t* alg = json_object_get(header.get(), "alg");
  if (!json_is_string(alg) || StringOf(alg) != "HS256")
    return Basalt::Unexpected{OwnTokenError::UnsupportedAlgorithm};
  // No critical header extension is understood, so none may be demanded.
  if (json_object_get(header.get(), "crit") != nullptr)
    return Basalt::Unexpected{OwnTokenError::Malformed};

  // Nothing of the payload is looked at before the signature holds.
  if (!HasValidSignature(token.substr(0, secondDot), *signature, key)) {
    return Basalt::Unexpected{OwnTokenError::BadSignature};
  }
  const JsonPtr payload = ParseObject(*payloadText);
  if (!payload) return Basalt::Unexpected{OwnTokenError::Malformed};
  return ReadClaims(payload.get(), nowSeconds);
}

}  // namespace Nox::Authn
