// A text with its hash worked out once, for looking the same text up in several hash maps (a
// presented token in each cache that may know it) without hashing it again for each. Every map
// keyed this way hashes with TextHash, so that one hash serves them all.
//
// Views the text: it must outlive the HashedText.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace Basalt {

struct HashedText {
  HashedText(std::string_view t) : text(t), hash(std::hash<std::string_view>{}(t)) {}
  HashedText(const std::string& t) : HashedText(std::string_view(t)) {}
  HashedText(const char* t) : HashedText(std::string_view(t)) {}

  friend bool operator==(const HashedText& a, const std::string& b) { return a.text == b; }
  friend bool operator==(const std::string& a, const HashedText& b) { return a == b.text; }

  std::string_view text;
  size_t hash;
};

// The hash of unordered maps keyed by std::string that are looked up by HashedText.
struct TextHash {
  using is_transparent = void;
  size_t operator()(const HashedText& key) const { return key.hash; }
  size_t operator()(const std::string& text) const { return std::hash<std::string_view>{}(text); }
};

}  // namespace Basalt
