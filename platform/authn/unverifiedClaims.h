// The claims of a compact JWT read without checking its signature, for what only describes a
// token (a client's view of its own token, an audit record of what a refused token claimed):
// never for deciding whether to trust it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/basalt/jsonHandle.h"

namespace Nox::Authn {

// Payloads longer than this are not read: a refused token may be anything a caller sent.
inline constexpr std::size_t kMaxUnverifiedPayloadLength = 16384;

// The payload's JSON object; null when `token` is not header.payload.signature with a base64url
// payload of at most kMaxUnverifiedPayloadLength characters holding a JSON object. Thread-safe.
Basalt::Json::JsonPtr ReadUnverifiedClaims(std::string_view token);

// The payload's bytes, for a reader of its own; nullopt when `token` is not
// header.payload.signature with a base64url payload of at most kMaxUnverifiedPayloadLength
// characters. Thread-safe.
std::optional<std::string> UnverifiedPayload(std::string_view token);

// The JSON object that such a payload holds, read as ReadUnverifiedClaims reads it; null when it
// holds none. Thread-safe.
Basalt::Json::JsonPtr ReadPayloadClaims(std::string_view payload);

}  // namespace Nox::Authn
