// A quick reader for the plain form of JSON that API requests take: objects, arrays, strings,
// integers, true, false and null. Jansson's reader costs about 125 to 170 instructions a byte (it
// copies and checks every character through several calls), which made reading a request holding
// a token most of a verification's cost, and reading one holding a SAML assertion (an XML text
// full of escaped quotes and line breaks) as costly as its proof's ECDSA verification; this one
// scans runs of bytes.
//
// It builds the same Jansson tree that json_loadb(text, JSON_REJECT_DUPLICATES | JSON_DECODE_ANY)
// would: the same members in the same order, the same strings (escapes decoded as Jansson
// decodes them) and integers. It gives up (returns null) on anything else: \u0000 or a surrogate
// escape that is not a proper pair, a real number, an integer beyond json_int_t, invalid UTF-8, a
// control character, a duplicate member, trailing text or any other error. The
// caller then reads the text with Jansson, which accepts or explains it, so every refusal and
// message stays Jansson's own. A unit table and the jsonrpc fuzz target check that whatever this
// reader accepts, Jansson accepts as the same tree.
//
// Recursion follows nesting: bound the depth before calling (jsonBounds.h). Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/basalt/jsonHandle.h"
#include "platform/orbi/jsonBounds.h"

namespace Orbi::Json {

Basalt::Json::JsonPtr ReadPlainJson(std::string_view text);

// The same reading one step at a time, for readers that take a document of a known shape straight
// from its text. Each step skips the space before what it reads. A step that fails leaves the
// position unspecified: the caller gives up on the text. Not thread-safe; the text must outlive it.
//
// With bounds, the cursor counts values and nesting as CheckBounds does (jsonBounds.h), which for
// plain text comes to the same figures, and a step fails once the text passes them: a reader that
// succeeds stayed within them, having allocated no more than they allow.
class PlainCursor {
 public:
  explicit PlainCursor(std::string_view text, DocumentBounds bounds = kPlainBounds)
      : text_(text), bounds_(bounds) {}

  // Moves past `c` when it comes next.
  bool Take(char c) {
    SkipSpace();
    if (!At(c)) return false;
    ++pos_;
    return true;
  }
  // Moves past the brace that opens an object nested `depth` deep (1 for the document itself).
  bool OpenObject(int depth);
  // Moves past a string without escapes; `out` views its body in the text.
  bool String(std::string_view& out);
  // Moves past a string, escapes decoded as Jansson decodes them; `out` views its body in the
  // text, or in `decoded` when it has escapes (until `decoded` is used again).
  bool DecodedString(std::string& decoded, std::string_view& out);
  // Moves past any plain value and returns it as Jansson's tree; null when it is not plain.
  // `depth` counts the arrays and objects around it.
  Basalt::Json::JsonPtr Value(int depth);
  // Only space is left.
  bool AtEnd() {
    SkipSpace();
    return pos_ == text_.size();
  }

 private:
  // Jansson's own limit is 2048; deeper text is left to it.
  static constexpr DocumentBounds kPlainBounds{128, SIZE_MAX};

  bool At(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  // Counts one value more; false once they pass the bound.
  bool Count() { return ++values_ <= bounds_.maxValues; }
  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
  }
  Basalt::Json::JsonPtr Word(std::string_view word, json_t* value);
  Basalt::Json::JsonPtr Integer();
  template <class ReadItem>
  Basalt::Json::JsonPtr Items(Basalt::Json::JsonPtr container, char close, ReadItem readItem);
  Basalt::Json::JsonPtr Object(int depth);
  Basalt::Json::JsonPtr Array(int depth);

  std::string_view text_;
  DocumentBounds bounds_;
  size_t pos_ = 0;
  size_t values_ = 0;
  std::string decoded_;  // a string value's decoded body, copied out before the next is read
};

}  // namespace Orbi::Json
