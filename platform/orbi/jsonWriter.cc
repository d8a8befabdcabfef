#include "platform/orbi/jsonWriter.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/orbi/utf8.h"

namespace Orbi::Json {

namespace {

constexpr std::string_view kReplacement = "\\ufffd";

void WriteEscape(std::string& out, unsigned char c, StringStyle style) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '<':
      out += "\\u003c";
      return;
    case '>':
      out += "\\u003e";
      return;
    case '&':
      out += "\\u0026";
      return;
    default: {
      const char* hex = style == StringStyle::kCanonical ? "0123456789abcdef" : "0123456789ABCDEF";
      const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
      out.append(escaped, sizeof escaped);
    }
  }
}

void WriteInteger(std::string& out, long long value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

// Jansson's form: %.17g, a ".0" when that reads as an integer, no '+' or leading zeros in the
// exponent.
void WriteReal(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buffer[40];
  int length = std::snprintf(buffer, sizeof buffer, "%.17g", value);
  std::string_view text(buffer, static_cast<size_t>(length));
  size_t exponent = text.find('e');
  if (exponent == std::string_view::npos) {
    out += text;
    if (text.find('.') == std::string_view::npos) out += ".0";
    return;
  }
  out += text.substr(0, exponent + 1);
  size_t digits = exponent + 1;
  if (text[digits] == '-') out += text[digits];
  if (text[digits] == '-' || text[digits] == '+') ++digits;
  while (digits + 1 < text.size() && text[digits] == '0') ++digits;
  out += text.substr(digits);
}

void WriteStruct(std::string& out, const Data::StructValue& value, Encoding encoding) {
  out += '{';
  bool first = true;
  if (encoding == Encoding::kStandard && !value.GetName().empty()) {
    out += "\"_type\":";
    WriteString(out, value.GetName());
    first = false;
  }
  for (const auto& [name, field] : value.GetFields()) {
    if (!first) out += ',';
    first = false;
    WriteString(out, name);
    out += ':';
    if (field) {
      WriteValue(out, *field, encoding);
    } else {
      out += "null";
    }
  }
  out += '}';
}

}  // namespace

void WriteString(std::string& out, std::string_view text, StringStyle style) {
  size_t i = style == StringStyle::kAnswer ? PlainRunEnd<true>(text, 0) : PlainRunEnd(text, 0);
  const size_t at = out.size();
  if (i == text.size()) {
    // Nearly every string needs no escape: one growth and one copy, no per-character appends.
    out.resize(at + text.size() + 2);
    char* p = out.data() + at;
    p[0] = '"';
    std::memcpy(p + 1, text.data(), text.size());
    p[text.size() + 1] = '"';
    return;
  }
  out.reserve(at + text.size() + 2);
  out += '"';
  out.append(text.data(), i);
  while (i < text.size()) {
    // Valid UTF-8 is written as it stands in every style; a byte the run stops at is one to
    // escape or, at 0x80 and above, the start of invalid UTF-8.
    const size_t run =
        style == StringStyle::kAnswer ? PlainRunEnd<true>(text, i) : PlainRunEnd(text, i);
    out.append(text.data() + i, run - i);
    i = run;
    if (i == text.size()) break;
    const auto c = static_cast<unsigned char>(text[i++]);
    if (c < 0x80) {
      WriteEscape(out, c, style);
    } else {
      out += kReplacement;
    }
  }
  out += '"';
}

void WriteValue(std::string& out, const Data::DataValue& value, Encoding encoding) {
  switch (value.GetKind()) {
    case Data::DataValue::Kind::Null:
    case Data::DataValue::Kind::Void:
      out += "null";
      return;
    case Data::DataValue::Kind::String:
      WriteString(out, static_cast<const Data::StringValue&>(value).GetValue());
      return;
    case Data::DataValue::Kind::Integer:
      WriteInteger(out, static_cast<const Data::IntegerValue&>(value).GetValue());
      return;
    case Data::DataValue::Kind::Real:
      WriteReal(out, static_cast<const Data::RealValue&>(value).GetValue());
      return;
    case Data::DataValue::Kind::Boolean:
      out += static_cast<const Data::BooleanValue&>(value).GetValue() ? "true" : "false";
      return;
    case Data::DataValue::Kind::List: {
      out += '[';
      bool first = true;
      for (const auto& item : static_cast<const Data::ListValue&>(value).GetItems()) {
        if (!first) out += ',';
        first = false;
        if (item) {
          WriteValue(out, *item, encoding);
        } else {
          out += "null";
        }
      }
      out += ']';
      return;
    }
    case Data::DataValue::Kind::Struct:
    case Data::DataValue::Kind::Error:
      WriteStruct(out, static_cast<const Data::StructValue&>(value), encoding);
      return;
  }
  out += "null";
}

void WriteJson(std::string& out, const json_t& json) {
  switch (json_typeof(&json)) {
    case JSON_NULL:
      out += "null";
      return;
    case JSON_TRUE:
      out += "true";
      return;
    case JSON_FALSE:
      out += "false";
      return;
    case JSON_INTEGER:
      WriteInteger(out, json_integer_value(&json));
      return;
    case JSON_REAL:
      WriteReal(out, json_real_value(&json));
      return;
    case JSON_STRING:
      WriteString(out, std::string_view(json_string_value(&json), json_string_length(&json)));
      return;
    case JSON_ARRAY: {
      out += '[';
      for (size_t i = 0; i < json_array_size(&json); ++i) {
        if (i > 0) out += ',';
        WriteJson(out, *json_array_get(&json, i));
      }
      out += ']';
      return;
    }
    case JSON_OBJECT: {
      out += '{';
      bool first = true;
      auto* object = const_cast<json_t*>(&json);
      for (void* it = json_object_iter(object); it; it = json_object_iter_next(object, it)) {
        if (!first) out += ',';
        first = false;
        WriteString(out, std::string_view(json_object_iter_key(it), json_object_iter_key_len(it)));
        out += ':';
        WriteJson(out, *json_object_iter_value(it));
      }
      out += '}';
      return;
    }
  }
  out += "null";
}

}  // namespace Orbi::Json
