// Jansson's own compact dump with the markup characters escaped afterwards: the reference the
// JSON writer is checked against wherever Jansson can write the value.
#pragma once

#include <jansson.h>

#include <string>
#include <string_view>

#include "platform/basalt/jsonHandle.h"

namespace Orbi::Testing {

inline std::string JanssonText(const json_t& json) {
  Basalt::Json::JsonText text(
      json_dumps(&json, JSON_COMPACT | JSON_ENCODE_ANY | JSON_PRESERVE_ORDER));
  std::string out;
  for (char c : std::string_view(text ? text.get() : "")) {
    out += c == '<' ? "\\u003c" : c == '>' ? "\\u003e" : c == '&' ? "\\u0026" : std::string(1, c);
  }
  return out;
}

}  // namespace Orbi::Testing
