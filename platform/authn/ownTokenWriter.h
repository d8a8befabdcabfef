// Writing the daemon's own tokens: the compact HS256 JWS that libjwt writes for the same claims,
// byte for byte, without building JSON trees or looking OpenSSL's algorithms up on each call.
//
// The header is {"alg":"HS256","typ":"JWT"}; the claims are "entitlement" (only when
// `hasEntitlementClaim`, its names in the order given), "exp" and "username", in that (sorted)
// order, compact, with strings escaped as Jansson escapes them; each part is base64url without
// padding. As libjwt takes the user name as a C string and cannot hold one that is not UTF-8,
// the name ends at its first NUL, and one that is not valid UTF-8 gives no "username" claim.
//
// Stateless; safe from any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/authn/ownTokenVerifier.h"

namespace Nox::Authn {

// The signed token; nothing when signing fails.
std::optional<std::string> WriteOwnToken(const OwnTokenClaims& claims, const OwnTokenKey& key);

}  // namespace Nox::Authn
