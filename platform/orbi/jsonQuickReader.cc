#include "platform/orbi/jsonQuickReader.h"

#include <charconv>

#include "platform/orbi/jsonStringBody.h"

namespace Orbi::Json {

namespace {

using Basalt::Json::JsonPtr;

}  // namespace

JsonPtr PlainCursor::Value(int depth) {
  SkipSpace();
  if (pos_ == text_.size()) return nullptr;
  switch (text_[pos_]) {
    case '{':
      return depth < bounds_.maxDepth && Count() ? Object(depth + 1) : nullptr;
    case '[':
      return depth < bounds_.maxDepth && Count() ? Array(depth + 1) : nullptr;
    case '"': {
      std::string_view text;
      if (!DecodedString(decoded_, text)) return nullptr;
      return JsonPtr(json_stringn_nocheck(text.data(), text.size()));
    }
    default:
      break;
  }
  if (!Count()) return nullptr;
  switch (text_[pos_]) {
    case 't':
      return Word("true", json_true());
    case 'f':
      return Word("false", json_false());
    case 'n':
      return Word("null", json_null());
    default:
      return Integer();
  }
}

JsonPtr PlainCursor::Word(std::string_view word, json_t* value) {
  if (text_.substr(pos_, word.size()) != word) return nullptr;
  pos_ += word.size();
  return JsonPtr(value);
}

// Integers only, in JSON's form: a real number or an out-of-range integer is Jansson's.
JsonPtr PlainCursor::Integer() {
  const size_t start = pos_;
  if (At('-')) ++pos_;
  const size_t digits = pos_;
  while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
  if (pos_ == digits || (text_[digits] == '0' && pos_ - digits > 1)) return nullptr;
  if (At('.') || At('e') || At('E')) return nullptr;
  json_int_t value = 0;
  auto [end, ec] = std::from_chars(text_.data() + start, text_.data() + pos_, value);
  if (ec != std::errc() || end != text_.data() + pos_) return nullptr;
  return JsonPtr(json_integer(value));
}

bool PlainCursor::OpenObject(int depth) {
  return depth <= bounds_.maxDepth && Take('{') && Count();
}

bool PlainCursor::String(std::string_view& out) {
  SkipSpace();
  if (!At('"') || !Count()) return false;
  const size_t start = ++pos_;
  const size_t end = PlainStringEnd(text_, start);
  if (end == std::string_view::npos) return false;
  out = text_.substr(start, end - start);
  pos_ = end + 1;
  return true;
}

bool PlainCursor::DecodedString(std::string& decoded, std::string_view& out) {
  SkipSpace();
  if (!At('"') || !Count()) return false;
  const size_t end = ReadStringBody(text_, ++pos_, decoded, out);
  if (end == std::string_view::npos) return false;
  pos_ = end + 1;
  return true;
}

// Reads `container`'s items, each with `readItem`, from its opening bracket to `close`.
template <class ReadItem>
JsonPtr PlainCursor::Items(JsonPtr container, char close, ReadItem readItem) {
  ++pos_;
  if (Take(close)) return container;
  while (true) {
    if (!readItem(container.get())) return nullptr;
    if (Take(close)) return container;
    if (!Take(',')) return nullptr;
  }
}

JsonPtr PlainCursor::Object(int depth) {
  return Items(JsonPtr(json_object()), '}', [this, depth](json_t* object) {
    std::string decodedKey;  // the member's value may decode strings of its own meanwhile
    std::string_view key;
    if (!DecodedString(decodedKey, key) || !Take(':')) return false;
    JsonPtr member = Value(depth);
    return member && json_object_getn(object, key.data(), key.size()) == nullptr &&
           json_object_setn_new_nocheck(object, key.data(), key.size(), member.release()) == 0;
  });
}

JsonPtr PlainCursor::Array(int depth) {
  return Items(JsonPtr(json_array()), ']', [this, depth](json_t* array) {
    JsonPtr item = Value(depth);
    return item && json_array_append_new(array, item.release()) == 0;
  });
}

Basalt::Json::JsonPtr ReadPlainJson(std::string_view text) {
  PlainCursor cursor(text);
  JsonPtr value = cursor.Value(0);
  return value && cursor.AtEnd() ? std::move(value) : nullptr;
}

}  // namespace Orbi::Json
