// Test support: tokens signed with libjwt, as token creation signs them.
#pragma once

#include <jwt.h>

#include <string>
#include <string_view>

#include "platform/authn/jwtHandle.h"

namespace Nox::Authn::Testing {

// `claimsJson` (an object) signed with `key` by `alg`, unsigned for JWT_ALG_NONE; empty when
// libjwt refuses, which no verifier accepts.
inline std::string SignClaims(const std::string& claimsJson, std::string_view key,
                              jwt_alg_t alg = JWT_ALG_HS256) {
  jwt_t* raw = nullptr;
  if (jwt_new(&raw) != 0) return "";
  const JwtPtr jwt(raw);
  const bool none = alg == JWT_ALG_NONE;
  if (jwt_add_grants_json(jwt.get(), claimsJson.c_str()) != 0 ||
      jwt_set_alg(jwt.get(), alg,
                  none ? nullptr : reinterpret_cast<const unsigned char*>(key.data()),
                  none ? 0 : static_cast<int>(key.size())) != 0) {
    return "";
  }
  const JwtText text(jwt_encode_str(jwt.get()));
  return text ? text.get() : "";
}

}  // namespace Nox::Authn::Testing
