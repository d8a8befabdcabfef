// Owning handles for Jansson, the one JSON library: every layer frees Jansson's values and texts
// through these. Users link Jansson themselves; nothing here calls it but the deleters.
#pragma once

#include <jansson.h>

#include <cstdlib>
#include <memory>
#include <string_view>

namespace Basalt::Json {

struct JsonDecref {
  void operator()(json_t* json) const { json_decref(json); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDecref>;

struct JsonTextFree {
  void operator()(char* text) const { std::free(text); }
};
// A text that Jansson allocated (json_dumps).
using JsonText = std::unique_ptr<char, JsonTextFree>;

}  // namespace Basalt::Json
