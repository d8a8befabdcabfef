// UTF-8 as Jansson judges it, for the JSON reader and writer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace Orbi::Json {

// Length of the valid UTF-8 sequence at text[i], whose lead byte is 0x80 or above; 0 when the
// bytes there are none (overlong forms, surrogates and code points beyond U+10FFFF included).
inline size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  size_t length;
  char32_t cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (next & 0x3F);
  }
  const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
  if (overlong || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return length;
}

// Whether Jansson takes `text` as a string: valid UTF-8 throughout (NUL bytes included).
inline bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
    } else if (size_t length = Utf8SequenceLength(text, i)) {
      i += length;
    } else {
      return false;
    }
  }
  return true;
}

// How many of the sixteen bytes at `p` come before the first quote, backslash, control character
// or byte of 0x80 and above (16 when none is); with `kMarkup`, '<', '>' and '&' too, which
// answers escape. The compiler's vector types become SIMD on every target; each refused byte is
// all ones, so the first one is found by counting zero bits.
template <bool kMarkup = false>
inline size_t PlainAsciiRun16(const char* p) {
  using Bytes = uint8_t __attribute__((vector_size(16)));
  using Lanes = uint64_t __attribute__((vector_size(16)));
  Bytes v;
  std::memcpy(&v, p, sizeof v);
  auto refusedBytes = (v == '"') | (v == '\\') | (v < 0x20) | (v >= 0x80);
  if constexpr (kMarkup) refusedBytes |= (v == '<') | (v == '>') | (v == '&');
  const auto refused = reinterpret_cast<Lanes>(refusedBytes);
  for (size_t lane = 0; lane < 2; ++lane) {
    if (uint64_t bits = refused[lane]) {
      const int zeros = std::endian::native == std::endian::little ? std::countr_zero(bits)
                                                                   : std::countl_zero(bits);
      return lane * 8 + static_cast<size_t>(zeros) / 8;
    }
  }
  return 16;
}

// The first byte from text[pos] on that a JSON string's body cannot hold as it stands: a quote,
// a backslash, a control character or the start of invalid UTF-8 (with `kMarkup`, '<', '>' or
// '&' as well); text.size() when none is.
template <bool kMarkup = false>
inline size_t PlainRunEnd(std::string_view text, size_t pos) {
  while (pos < text.size()) {
    // Plain ASCII is skipped sixteen bytes at a time; a token is one long run of it.
    if (text.size() - pos >= 16) {
      const size_t run = PlainAsciiRun16<kMarkup>(text.data() + pos);
      pos += run;
      if (run == 16) continue;
    }
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c == '"' || c == '\\' || c < 0x20) return pos;
    if (kMarkup && (c == '<' || c == '>' || c == '&')) return pos;
    if (c < 0x80) {
      ++pos;
    } else if (size_t length = Utf8SequenceLength(text, pos)) {
      pos += length;
    } else {
      return pos;
    }
  }
  return pos;
}

// The closing quote of a JSON string whose body starts at text[start], when that body needs no
// decoding: no escape, no control character, valid UTF-8. npos otherwise (or when unterminated).
inline size_t PlainStringEnd(std::string_view text, size_t start) {
  const size_t end = PlainRunEnd(text, start);
  return end < text.size() && text[end] == '"' ? end : std::string_view::npos;
}

}  // namespace Orbi::Json
