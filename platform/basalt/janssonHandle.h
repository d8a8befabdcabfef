// Owning handles for what Jansson hands out: values (reference counted) and texts it allocated
// (json_dumps). Every user of Jansson in the tree holds them through these.
#pragma once

#include <jansson.h>

#include <cstdlib>
#include <memory>

namespace Basalt::Json {

struct JsonDeleter {
  void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

// Also for the texts of C libraries that document free() as their release (libjwt's encodings).
struct CStringDeleter {
  void operator()(char* text) const { free(text); }
};
using CStringPtr = std::unique_ptr<char, CStringDeleter>;

}  // namespace Basalt::Json
