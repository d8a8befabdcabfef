#include "platform/authn/ownTokenWriter.h"

#include <charconv>
#include <cstring>
#include <string_view>

#include "platform/basalt/crypto/base64.h"
#include "platform/orbi/jsonWriter.h"
#include "platform/orbi/utf8.h"

namespace Nox::Authn {

namespace {

// base64url of {"alg":"HS256","typ":"JWT"}, the header libjwt writes for HS256.
constexpr std::string_view kEncodedHeader = "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9";

}  // namespace

std::optional<std::string> WriteOwnToken(const OwnTokenClaims& claims, const OwnTokenKey& key) {
  using Orbi::Json::StringStyle;
  std::string payload = "{";
  if (claims.hasEntitlementClaim) {
    payload += "\"entitlement\":[";
    for (size_t i = 0; i < claims.entitlements.size(); ++i) {
      if (i > 0) payload += ',';
      Orbi::Json::WriteString(payload, claims.entitlements[i], StringStyle::kJansson);
    }
    payload += "],";
  }
  payload += "\"exp\":";
  char digits[24];
  payload.append(digits, std::to_chars(digits, digits + sizeof digits, claims.exp).ptr);
  const std::string_view username(claims.username.c_str());
  if (Orbi::Json::IsValidUtf8(username)) {
    payload += ",\"username\":";
    Orbi::Json::WriteString(payload, username, StringStyle::kJansson);
  }
  payload += '}';

  std::string token;
  token.reserve(kEncodedHeader.size() + payload.size() * 4 / 3 + 48);
  token += kEncodedHeader;
  token += '.';
  token += Basalt::Crypto::EncodeBase64(payload, Basalt::Crypto::Base64Alphabet::kUrl);
  unsigned char mac[32];
  if (!key.Sign(token, mac)) return std::nullopt;
  token += '.';
  token += Basalt::Crypto::EncodeBase64(std::string_view(reinterpret_cast<const char*>(mac), 32),
                                        Basalt::Crypto::Base64Alphabet::kUrl);
  return token;
}

}  // namespace Nox::Authn
