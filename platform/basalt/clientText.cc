#include "platform/basalt/clientText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace Basalt {
namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Whether the sixteen bytes at `p` are all from 0x20 to 0x7E; the vector type is SIMD everywhere.
bool AllPrintableAscii16(const char* p) {
  using Bytes = uint8_t __attribute__((vector_size(16)));
  using Lanes = uint64_t __attribute__((vector_size(16)));
  Bytes v;
  std::memcpy(&v, p, sizeof v);
  const auto other = reinterpret_cast<Lanes>((v < 0x20) | (v >= 0x7F));
  return (other[0] | other[1]) == 0;
}

// Length of the well-formed UTF-8 sequence at text[pos] and its code point; 0 when ill-formed.
std::size_t DecodeUtf8(std::string_view text, std::size_t pos, uint32_t& codePoint) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t length;
  uint32_t minimum;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, codePoint = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[pos + i]);
    if (!IsContinuation(byte)) return 0;
    codePoint = (codePoint << 6) | (byte & 0x3F);
  }
  const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  if (codePoint < minimum || codePoint > 0x10FFFF || surrogate) return 0;
  return length;
}

bool IsControlCodePoint(uint32_t codePoint) {
  return codePoint < 0x20 || codePoint == 0x7F || (codePoint >= 0x80 && codePoint <= 0x9F) ||
         codePoint == 0x2028 || codePoint == 0x2029;
}

void AppendEscape(std::string& out, const char* pattern, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, pattern, value);
  out += text;
}

}  // namespace

std::string MarkCut(std::string_view text, std::size_t limit, std::size_t fullLength) {
  std::size_t end = std::min(limit, text.size());
  // The first byte left out must not continue a character that the cut would split.
  for (int back = 0; back < 3 && end > 0 && end < text.size() &&
                     IsContinuation(static_cast<unsigned char>(text[end]));
       ++back) {
    --end;
  }
  std::string out(text.substr(0, end));
  out += "\u2026(cut, " + std::to_string(fullLength) + " bytes)";
  return out;
}

std::string QuoteClientText(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  return MarkCut(text, limit, text.size());
}

bool NeedsEscape(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    // Printable ASCII, nearly every log line, is passed over sixteen bytes at a time.
    if (text.size() - pos >= 16 && AllPrintableAscii16(text.data() + pos)) {
      pos += 16;
      continue;
    }
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte >= 0x20 && byte < 0x7F) {
      ++pos;
      continue;
    }
    uint32_t codePoint;
    std::size_t length = DecodeUtf8(text, pos, codePoint);
    if (length == 0 || IsControlCodePoint(codePoint)) return true;
    pos += length;
  }
  return false;
}

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (std::size_t pos = 0; pos < text.size();) {
    uint32_t codePoint;
    std::size_t length = DecodeUtf8(text, pos, codePoint);
    if (length == 0) {
      AppendEscape(out, "\\x%02x", static_cast<unsigned char>(text[pos]));
      ++pos;
      continue;
    }
    if (!IsControlCodePoint(codePoint)) {
      out.append(text.substr(pos, length));
    } else if (codePoint == '\n') {
      out += "\\n";
    } else if (codePoint == '\r') {
      out += "\\r";
    } else if (codePoint == '\t') {
      out += "\\t";
    } else if (codePoint < 0x80) {
      AppendEscape(out, "\\x%02x", codePoint);
    } else {
      AppendEscape(out, "\\u%04x", codePoint);
    }
    pos += length;
  }
  return out;
}

}  // namespace Basalt
