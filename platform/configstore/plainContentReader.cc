#include "platform/configstore/plainContentReader.h"

#include <algorithm>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/orbi/jsonStringBody.h"

namespace NoxConfigStore {

namespace {

// Deeper nesting is left to the general reader.
constexpr int kMaxDepth = 32;
// Room made at the first value or sub-object of a content: most have no more.
constexpr size_t kUsualValues = 4;

// A string value: a view of the text, or its decoded form when it holds escapes.
struct PlainText {
  std::string_view raw;
  std::string decoded;
  bool escaped = false;
};

using PlainValue = std::variant<PlainText, bool, std::vector<PlainText>>;

std::string Decoded(const PlainText& text) {
  return text.escaped ? text.decoded : std::string(text.raw);
}

struct PlainContent {
  std::vector<std::pair<std::string_view, PlainValue>> values;
  std::vector<PlainContent> subObjects;
  std::optional<std::string_view> name;
  std::optional<std::string_view> instance;
};

template <class Values>
bool HasDuplicateNames(const Values& values) {
  // Pairwise for the few values objects usually have, sorted names beyond.
  if (values.size() <= 2 * kUsualValues) {
    for (size_t i = 0; i < values.size(); ++i) {
      for (size_t j = i + 1; j < values.size(); ++j) {
        if (values[i].first == values[j].first) return true;
      }
    }
    return false;
  }
  std::vector<std::string_view> names;
  names.reserve(values.size());
  for (const auto& entry : values) names.push_back(entry.first);
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool Document(PlainContent& content) {
    if (!Content(content, 0, /*isSubObject=*/false)) return false;
    SkipSpace();
    return pos_ == text_.size();
  }

 private:
  bool At(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  bool Take(char c) {
    SkipSpace();
    if (!At(c)) return false;
    ++pos_;
    return true;
  }

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
  }

  // A name: a string without escapes (anything else is the general reader's).
  bool String(std::string_view& out) {
    PlainText text;
    if (!Text(text) || text.escaped) return false;
    out = text.raw;
    return true;
  }

  // A string value, escapes decoded as the general reader decodes them.
  bool Text(PlainText& out) {
    SkipSpace();
    if (!At('"')) return false;
    std::string_view body;
    out.decoded.clear();
    const size_t end = Orbi::Json::ReadStringBody(text_, ++pos_, out.decoded, body);
    if (end == std::string_view::npos) return false;
    out.escaped = !out.decoded.empty();  // an escape always decodes to something
    out.raw = out.escaped ? std::string_view() : body;
    pos_ = end + 1;
    return true;
  }

  bool Word(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  // Calls `item` for each member ("key": then the value) or element up to `close`.
  template <class Item>
  bool Items(char open, char close, Item item) {
    if (!Take(open)) return false;
    if (Take(close)) return true;
    do {
      if (!item()) return false;
    } while (Take(','));
    return Take(close);
  }

  bool Value(PlainValue& value) {
    SkipSpace();
    if (At('"')) {
      PlainText text;
      if (!Text(text)) return false;
      value = text;
      return true;
    }
    if (At('[')) {
      std::vector<PlainText> list;
      if (!Items('[', ']', [&] { return Text(list.emplace_back()); })) return false;
      value = std::move(list);
      return true;
    }
    if (Word("true")) {
      value = true;
      return true;
    }
    if (Word("false")) {
      value = false;
      return true;
    }
    return false;
  }

  bool Content(PlainContent& content, int depth, bool isSubObject) {
    if (depth > kMaxDepth) return false;
    bool sawValues = false;
    bool sawSubObjects = false;
    const bool read = Items('{', '}', [&] {
      std::string_view key;
      if (!String(key) || !Take(':')) return false;
      if (key == "values" && !sawValues) {
        sawValues = true;
        return Items('{', '}', [&] {
          if (content.values.empty()) content.values.reserve(kUsualValues);
          auto& [name, value] = content.values.emplace_back();
          return String(name) && Take(':') && Value(value);
        });
      }
      if (key == "subObjects" && !sawSubObjects) {
        sawSubObjects = true;
        return Items('[', ']', [&] {
          if (content.subObjects.empty()) content.subObjects.reserve(kUsualValues);
          return Content(content.subObjects.emplace_back(), depth + 1, true);
        });
      }
      if (isSubObject && key == "name" && !content.name) {
        return String(content.name.emplace());
      }
      if (isSubObject && key == "instance" && !content.instance) {
        return String(content.instance.emplace());
      }
      return false;
    });
    if (!read || (isSubObject && !content.name)) return false;
    // Duplicate value names are the general reader's to refuse.
    return !HasDuplicateNames(content.values);
  }

  std::string_view text_;
  size_t pos_ = 0;
};

void Fill(const PlainContent& content, WritableObject& into) {
  for (const auto& [key, value] : content.values) {
    const std::string name(key);
    if (const auto* text = std::get_if<PlainText>(&value)) {
      into.SetValue(name, Decoded(*text));
    } else if (const bool* flag = std::get_if<bool>(&value)) {
      into.SetValue(name, *flag);
    } else {
      const auto& items = std::get<std::vector<PlainText>>(value);
      StringList list;
      list.reserve(items.size());
      for (const auto& item : items) list.push_back(Decoded(item));
      into.SetValue(name, std::move(list));
    }
  }
  for (const auto& entry : content.subObjects) {
    std::optional<std::string> instance;
    if (entry.instance) instance.emplace(*entry.instance);
    Fill(entry, *into.CreateSubObject(SubObjectId(std::string(*entry.name), instance)));
  }
}

}  // namespace

bool ReadPlainObjectContent(std::string_view text, WritableObject& into) {
  PlainContent content;
  if (!Scanner(text).Document(content)) return false;
  Fill(content, into);
  return true;
}

}  // namespace NoxConfigStore
