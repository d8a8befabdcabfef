// The canonical JSON text of RFC 8785 (JCS), which clients sign as the proof of possession of a
// holder-of-key call: object members sorted by the UTF-16 code units of their names, no blanks,
// ECMAScript number forms and JSON.stringify string escaping.
#pragma once

#include <jansson.h>

#include <optional>
#include <string>
#include <string_view>

namespace Orbi::Json {

// The largest integer every JSON reader keeps exactly (2^53 - 1).
inline constexpr json_int_t kMaxExactInteger = 9007199254740991;

// Nothing for a value without a canonical form: a non-finite real, an integer beyond
// +-kMaxExactInteger (its ECMAScript form would not be the client's digits), or nesting deeper
// than kMaxDepth.
std::optional<std::string> Canonicalize(const json_t& json);

// `text` (UTF-8) as a JSON string literal with the canonical escaping: quotes, backslashes and
// control characters only.
std::string CanonicalString(std::string_view text);

}  // namespace Orbi::Json
