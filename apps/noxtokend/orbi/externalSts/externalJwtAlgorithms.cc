#include "apps/noxtokend/orbi/externalSts/externalJwtAlgorithms.h"

#include <jansson.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <memory>

#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/jsonHandle.h"
#include "platform/orbi/jsonBounds.h"

namespace Nox::Authn {

namespace {

using Basalt::Json::JsonPtr;

// Claims of real tokens nest a few levels and hold at most a few thousand groups.
constexpr Orbi::Json::DocumentBounds kTokenPartBounds{16, 20'000};

Basalt::Result<JsonPtr, ExternalTokenShapeError> ParsePart(std::string_view part) {
  auto bytes = Basalt::Crypto::DecodeBase64(part, Basalt::Crypto::Base64Alphabet::kUrl);
  if (!bytes || !Orbi::Json::CheckBounds(*bytes, kTokenPartBounds).empty()) {
    return Basalt::Unexpected{ExternalTokenShapeError::kMalformed};
  }
  json_error_t error;
  JsonPtr json(json_loadb(bytes->data(), bytes->size(), JSON_REJECT_DUPLICATES, &error));
  if (!json) {
    // Jansson names the member in its text; telling duplicates apart helps whoever reads the log.
    return Basalt::Unexpected{std::string_view(error.text).find("duplicate") !=
                                      std::string_view::npos
                                  ? ExternalTokenShapeError::kDuplicateMember
                                  : ExternalTokenShapeError::kMalformed};
  }
  if (!json_is_object(json.get())) return Basalt::Unexpected{ExternalTokenShapeError::kMalformed};
  return json;
}

std::optional<int> CurveOf(const EVP_PKEY& key) {
  char name[64] = {0};
  size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(&key, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof(name),
                                     &length) != 1) {
    return std::nullopt;
  }
  int nid = OBJ_sn2nid(name);
  if (nid == NID_undef) nid = EC_curve_nist2nid(name);
  return nid == NID_undef ? std::nullopt : std::optional<int>(nid);
}

}  // namespace

const char* Describe(ExternalTokenShapeError error) {
  switch (error) {
    case ExternalTokenShapeError::kTooLarge:
      return "token is larger than accepted";
    case ExternalTokenShapeError::kMalformed:
      return "token is not a compact JWS with JSON header and claims";
    case ExternalTokenShapeError::kDuplicateMember:
      return "token names a member twice";
  }
  return "token refused";
}

Basalt::Result<ExternalTokenHeader, ExternalTokenShapeError> ReadExternalTokenHeader(
    std::string_view token) {
  if (token.size() > kMaxExternalTokenLength)
    return Basalt::Unexpected{ExternalTokenShapeError::kTooLarge};
  size_t first = token.find('.');
  size_t second = first == std::string_view::npos ? first : token.find('.', first + 1);
  if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) {
    return Basalt::Unexpected{ExternalTokenShapeError::kMalformed};
  }
  auto header = ParsePart(token.substr(0, first));
  if (!header) return Basalt::Unexpected{header.error()};
  auto payload = ParsePart(token.substr(first + 1, second - first - 1));
  if (!payload) return Basalt::Unexpected{payload.error()};

  const json_t* headerJson = header->get();
  ExternalTokenHeader result;
  const json_t* alg = json_object_get(headerJson, "alg");
  if (json_is_string(alg)) result.alg.assign(json_string_value(alg), json_string_length(alg));
  result.hasCrit = json_object_get(headerJson, "crit") != nullptr;
  result.claims = std::move(*payload);
  return result;
}

std::optional<jwt_alg_t> AdmittedAlgorithm(std::string_view alg, const EVP_PKEY& key) {
  switch (EVP_PKEY_get_base_id(&key)) {
    case EVP_PKEY_RSA:
      if (alg == "RS256") return JWT_ALG_RS256;
      if (alg == "RS384") return JWT_ALG_RS384;
      if (alg == "RS512") return JWT_ALG_RS512;
      return std::nullopt;
    case EVP_PKEY_EC: {
      auto curve = CurveOf(key);
      if (alg == "ES256" && curve == NID_X9_62_prime256v1) return JWT_ALG_ES256;
      if (alg == "ES384" && curve == NID_secp384r1) return JWT_ALG_ES384;
      if (alg == "ES512" && curve == NID_secp521r1) return JWT_ALG_ES512;
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace Nox::Authn
