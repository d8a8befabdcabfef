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
  // The members' names, the digits of "exp" and the quotes of unescaped strings.
  size_t size = 64 + claims.username.size();
  for (const auto& name : claims.entitlements) size += name.size() + 3;
  std::string payload;
  payload.reserve(size);
  payload += '{';
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

  using Basalt::Crypto::Base64Alphabet;
  std::string token;
  token.reserve(kEncodedHeader.size() + (payload.size() + 2) / 3 * 4 + 48);
  token += kEncodedHeader;
  token += '.';
  Basalt::Crypto::AppendBase64(token, payload, Base64Alphabet::kUrl);
  unsigned char mac[32];
  if (!key.Sign(token, mac)) return std::nullopt;
  token += '.';
  Basalt::Crypto::AppendBase64(token, std::string_view(reinterpret_cast<const char*>(mac), 32),
                               Base64Alphabet::kUrl);
  return token;
}

}  // namespace Nox::Authn
