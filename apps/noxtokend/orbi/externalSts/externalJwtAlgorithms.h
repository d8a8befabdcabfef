// What an external issuer's JWT may claim about its own signature. libjwt takes the algorithm
// from the token's header and uses whatever key bytes it is given, so an HS256 token MACed with a
// certificate's public-key PEM text would verify there. These checks keep the algorithm to the
// asymmetric family of the certificate's key before libjwt sees the token.
#pragma once

#include <jwt.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/evp.h>

#include "platform/basalt/jsonHandle.h"
#include "platform/basalt/result.h"

namespace Nox::Authn {

// Larger tokens are refused as undecodable before any parsing.
inline constexpr std::size_t kMaxExternalTokenLength = 256 * 1024;

enum class ExternalTokenShapeError {
  kTooLarge,
  kMalformed,       // not three base64url parts, or header/payload not a JSON object
  kDuplicateMember  // a member named twice in the header or the payload
};

// A short English text for logs.
const char* Describe(ExternalTokenShapeError error);

struct ExternalTokenHeader {
  std::string alg;
  bool hasCrit = false;
  // The payload as read here: an object without a member named twice, so each claim in it is
  // the one libjwt reads.
  Basalt::Json::JsonPtr claims;
};

// Reads the header and checks both JSON parts strictly, keeping the payload's tree.
Basalt::Result<ExternalTokenHeader, ExternalTokenShapeError> ReadExternalTokenHeader(
    std::string_view token);

// The algorithm a certificate's key admits under `alg`, or nothing: RS256/RS384/RS512 for RSA,
// ES256 for P-256, ES384 for P-384, ES512 for P-521. "none", HS*, other names and other keys get
// nothing.
std::optional<jwt_alg_t> AdmittedAlgorithm(std::string_view alg, const EVP_PKEY& key);

}  // namespace Nox::Authn
