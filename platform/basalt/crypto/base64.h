// Base64 (RFC 4648) in its two alphabets, to and from bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace Basalt::Crypto {

enum class Base64Alphabet {
  // "+/", padded with '='. Decoding skips white space (space, tab, CR, LF) between characters,
  // as PEM bodies and XML text carry it, and requires the padding.
  kStandard,
  // "-_", never padded, as the compact form of signed tokens uses it. Decoding is strict: no
  // padding, no white space, and the unused low bits of the last character must be zero, so
  // every byte string has exactly one accepted encoding.
  kUrl,
};

std::string EncodeBase64(std::string_view bytes, Base64Alphabet alphabet);
std::string EncodeBase64(std::span<const uint8_t> bytes, Base64Alphabet alphabet);
// The same, appended to `text`: a caller that reserved room for the whole encodes into it
// without a text of its own.
void AppendBase64(std::string& text, std::string_view bytes, Base64Alphabet alphabet);

// The bytes, or nothing when `text` is not Base64 under the alphabet's rules. Callers decide
// whether that is a refusal of their input or an error of their own.
std::optional<std::string> DecodeBase64(std::string_view text, Base64Alphabet alphabet);

}  // namespace Basalt::Crypto
