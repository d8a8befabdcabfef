#include "platform/orbi/jsonQuickReader.h"

#include <charconv>

#include "platform/orbi/jsonStringBody.h"

namespace Orbi::Json {

namespace {

using Basalt::Json::JsonPtr;

// Jansson's own limit is 2048; deeper text is left to it.
constexpr int kMaxNesting = 128;

class PlainReader {
 public:
  explicit PlainReader(std::string_view text) : text_(text) {}

  JsonPtr Document() {
    JsonPtr value = Value(0);
    SkipSpace();
    return value && pos_ == text_.size() ? std::move(value) : nullptr;
  }

 private:
  bool At(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
  }

  JsonPtr Value(int depth) {
    SkipSpace();
    if (pos_ == text_.size()) return nullptr;
    switch (text_[pos_]) {
      case '{':
        return depth < kMaxNesting ? Object(depth + 1) : nullptr;
      case '[':
        return depth < kMaxNesting ? Array(depth + 1) : nullptr;
      case '"': {
        std::string_view text;
        if (!String(decoded_, text)) return nullptr;
        return JsonPtr(json_stringn_nocheck(text.data(), text.size()));
      }
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

  JsonPtr Word(std::string_view word, json_t* value) {
    if (text_.substr(pos_, word.size()) != word) return nullptr;
    pos_ += word.size();
    return JsonPtr(value);
  }

  // Integers only, in JSON's form: a real number or an out-of-range integer is Jansson's.
  JsonPtr Integer() {
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

  // A string; `out` points into the text, or into `decoded` when the string has escapes.
  bool String(std::string& decoded, std::string_view& out) {
    const size_t end = ReadStringBody(text_, ++pos_, decoded, out);
    if (end == std::string_view::npos) return false;
    pos_ = end + 1;
    return true;
  }

  // Reads `container`'s items, each with `readItem`, from its opening bracket to `close`.
  template <class ReadItem>
  JsonPtr Items(JsonPtr container, char close, ReadItem readItem) {
    ++pos_;
    SkipSpace();
    if (At(close)) {
      ++pos_;
      return container;
    }
    while (true) {
      if (!readItem(container.get())) return nullptr;
      SkipSpace();
      if (At(close)) {
        ++pos_;
        return container;
      }
      if (!At(',')) return nullptr;
      ++pos_;
    }
  }

  JsonPtr Object(int depth) {
    return Items(JsonPtr(json_object()), '}', [this, depth](json_t* object) {
      SkipSpace();
      std::string decodedKey;  // the member's value may decode strings of its own meanwhile
      std::string_view key;
      if (!At('"') || !String(decodedKey, key)) return false;
      SkipSpace();
      if (!At(':')) return false;
      ++pos_;
      JsonPtr member = Value(depth);
      return member && json_object_getn(object, key.data(), key.size()) == nullptr &&
             json_object_setn_new_nocheck(object, key.data(), key.size(), member.release()) == 0;
    });
  }

  JsonPtr Array(int depth) {
    return Items(JsonPtr(json_array()), ']', [this, depth](json_t* array) {
      JsonPtr item = Value(depth);
      return item && json_array_append_new(array, item.release()) == 0;
    });
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string decoded_;  // a string value's decoded body, copied out before the next is read
};

}  // namespace

Basalt::Json::JsonPtr ReadPlainJson(std::string_view text) { return PlainReader(text).Document(); }

}  // namespace Orbi::Json
