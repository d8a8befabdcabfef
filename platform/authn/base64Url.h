// The URL-safe Base64 alphabet without padding, as the compact form of signed tokens uses it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Nox::Authn {

std::string EncodeBase64Url(std::string_view bytes);

// Strict: only the URL-safe alphabet, no padding, no white space, and the unused low bits of the
// last character must be zero, so every byte string has exactly one accepted encoding.
std::optional<std::string> DecodeBase64Url(std::string_view text);

}  // namespace Nox::Authn
