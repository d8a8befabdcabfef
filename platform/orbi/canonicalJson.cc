#include "platform/orbi/canonicalJson.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/orbi/json.h"

namespace Orbi::Json {
namespace {

// Names are valid UTF-8 (Jansson refuses anything else), so decoding needs no error handling.
std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t cp = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (int k = 1; k < length && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += length;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

// ECMAScript Number.prototype.toString over the shortest digits that read back as `value`.
bool AppendNumber(std::string& out, double value) {
  if (!std::isfinite(value)) return false;
  if (value == 0) {
    out += '0';
    return true;
  }
  if (value < 0) {
    out += '-';
    value = -value;
  }
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (ec != std::errc()) return false;
  const std::string_view scientific(buffer, end - buffer);  // d[.ddd]e[+-]xx
  const size_t e = scientific.find('e');
  std::string digits(1, scientific[0]);
  if (e > 1) digits += scientific.substr(2, e - 2);
  const int k = static_cast<int>(digits.size());
  const int n = std::atoi(std::string(scientific.substr(e + 1)).c_str()) + 1;
  if (k <= n && n <= 21) {
    out += digits;
    out.append(n - k, '0');
  } else if (0 < n && n <= 21) {
    out += digits.substr(0, n);
    out += '.';
    out += digits.substr(n);
  } else if (-6 < n && n <= 0) {
    out += "0.";
    out.append(-n, '0');
    out += digits;
  } else {
    out += digits[0];
    if (k > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += n - 1 < 0 ? '-' : '+';
    out += std::to_string(std::abs(n - 1));
  }
  return true;
}

bool Append(std::string& out, const json_t& json, int depth) {
  if (depth > kMaxDepth) return false;
  switch (json_typeof(&json)) {
    case JSON_NULL:
      out += "null";
      return true;
    case JSON_TRUE:
      out += "true";
      return true;
    case JSON_FALSE:
      out += "false";
      return true;
    case JSON_STRING:
      WriteString(out, std::string_view(json_string_value(&json), json_string_length(&json)),
                  StringStyle::kCanonical);
      return true;
    case JSON_INTEGER: {
      const json_int_t value = json_integer_value(&json);
      if (value > kMaxExactInteger || value < -kMaxExactInteger) return false;
      out += std::to_string(value);
      return true;
    }
    case JSON_REAL:
      return AppendNumber(out, json_real_value(&json));
    case JSON_ARRAY: {
      out += '[';
      for (size_t i = 0; i < json_array_size(&json); ++i) {
        if (i > 0) out += ',';
        if (!Append(out, *json_array_get(&json, i), depth + 1)) return false;
      }
      out += ']';
      return true;
    }
    case JSON_OBJECT: {
      std::vector<std::pair<std::u16string, std::pair<std::string_view, const json_t*>>> members;
      const char* key;
      size_t keyLength;
      json_t* value;
      json_object_keylen_foreach(const_cast<json_t*>(&json), key, keyLength, value) {
        const std::string_view name(key, keyLength);
        members.push_back({ToUtf16(name), {name, value}});
      }
      std::sort(members.begin(), members.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      out += '{';
      for (size_t i = 0; i < members.size(); ++i) {
        if (i > 0) out += ',';
        WriteString(out, members[i].second.first, StringStyle::kCanonical);
        out += ':';
        if (!Append(out, *members[i].second.second, depth + 1)) return false;
      }
      out += '}';
      return true;
    }
  }
  return false;
}

}  // namespace

std::string CanonicalString(std::string_view text) {
  std::string out;
  WriteString(out, text, StringStyle::kCanonical);
  return out;
}

std::optional<std::string> Canonicalize(const json_t& json) {
  std::string out;
  if (!Append(out, json, 0)) return std::nullopt;
  return out;
}

}  // namespace Orbi::Json
