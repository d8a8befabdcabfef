// Owning handle for Jansson values.
#pragma once

#include <jansson.h>

#include <memory>

namespace NoxConfigStore {

struct JsonDeleter {
  void operator()(json_t* value) const { json_decref(value); }
};
using JsonHandle = std::unique_ptr<json_t, JsonDeleter>;

struct JsonTextDeleter {
  void operator()(char* text) const { free(text); }
};
using JsonText = std::unique_ptr<char, JsonTextDeleter>;

}  // namespace NoxConfigStore
