// The body of a JSON string read as Jansson reads it, for the quick readers that stand in front of
// Jansson (the request reader, the store's plain object reader). Header-only: the store's library
// does not link this one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/orbi/utf8.h"

namespace Orbi::Json {

namespace Detail {

inline bool ReadHex4(std::string_view text, size_t at, uint32_t& value) {
  if (text.size() < at + 4) return false;
  value = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    const uint32_t digit = c >= '0' && c <= '9'   ? c - '0'
                           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : 16;
    if (digit == 16) return false;
    value = value << 4 | digit;
  }
  return true;
}

inline void AppendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes the escape at text[pos] (a backslash) into `out` and moves `pos` past it.
inline bool DecodeEscape(std::string_view text, size_t& pos, std::string& out) {
  if (pos + 1 >= text.size()) return false;
  const char kind = text[pos + 1];
  pos += 2;
  switch (kind) {
    case '"':
    case '\\':
    case '/':
      out += kind;
      return true;
    case 'b':
      out += '\b';
      return true;
    case 'f':
      out += '\f';
      return true;
    case 'n':
      out += '\n';
      return true;
    case 'r':
      out += '\r';
      return true;
    case 't':
      out += '\t';
      return true;
    case 'u':
      break;
    default:
      return false;
  }
  uint32_t cp = 0;
  if (!ReadHex4(text, pos, cp)) return false;
  pos += 4;
  // U+0000 needs a flag the readers do not give; a surrogate must come as a proper pair.
  if (cp == 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    uint32_t low = 0;
    if (text.substr(pos, 2) != "\\u" || !ReadHex4(text, pos + 2, low) || low < 0xDC00 ||
        low > 0xDFFF) {
      return false;
    }
    pos += 6;
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  AppendUtf8(cp, out);
  return true;
}

}  // namespace Detail

// Reads the string whose body starts at text[start], just after its opening quote. Returns the
// position of the closing quote and sets `body`: a view of the text itself when the body holds no
// escape, else of `decoded`, which then holds the body with its escapes decoded. npos when
// Jansson would refuse the string or might read it otherwise: unterminated, a control character,
// invalid UTF-8, an unknown escape, \u0000, or a surrogate escape that is not a proper pair.
inline size_t ReadStringBody(std::string_view text, size_t start, std::string& decoded,
                             std::string_view& body) {
  size_t pos = PlainRunEnd(text, start);
  if (pos < text.size() && text[pos] == '"') {  // the usual string: no escape
    body = text.substr(start, pos - start);
    return pos;
  }
  decoded.clear();
  size_t run = start;  // the first byte not yet in `decoded`
  while (pos < text.size() && text[pos] == '\\') {
    decoded.append(text, run, pos - run);
    if (!Detail::DecodeEscape(text, pos, decoded)) return std::string_view::npos;
    run = pos;
    pos = PlainRunEnd(text, pos);
  }
  if (pos == text.size() || text[pos] != '"') return std::string_view::npos;
  decoded.append(text, run, pos - run);
  body = decoded;
  return pos;
}

}  // namespace Orbi::Json
