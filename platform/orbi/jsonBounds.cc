#include "platform/orbi/jsonBounds.h"

#include <cstring>

namespace Orbi::Json {

namespace {

// The closing quote of the string whose body starts at text[start], or npos. A quote is escaped
// when an odd run of backslashes precedes it; memchr skips the runs between quotes, which in a
// request holding a token are most of its bytes.
size_t StringEnd(std::string_view text, size_t start) {
  for (size_t from = start;;) {
    const void* found = std::memchr(text.data() + from, '"', text.size() - from);
    if (!found) return std::string_view::npos;
    const size_t quote = static_cast<const char*>(found) - text.data();
    size_t backslashes = 0;
    while (quote - backslashes > start && text[quote - backslashes - 1] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return quote;
    from = quote + 1;
  }
}

}  // namespace

// Counts each string, each container and each run of other characters outside strings (a number
// or literal): at least one for every value the parser would allocate.
std::string CheckBounds(std::string_view text, const DocumentBounds& bounds) {
  size_t values = 0;
  int depth = 0;
  bool inAtom = false;
  for (size_t pos = 0; pos < text.size(); ++pos) {
    switch (text[pos]) {
      case '"':
        inAtom = false;
        ++values;
        pos = StringEnd(text, pos + 1);
        if (pos == std::string_view::npos) pos = text.size() - 1;  // unterminated: the rest
        break;
      case '[':
      case '{':
        inAtom = false;
        ++values;
        if (++depth > bounds.maxDepth) {
          return "nesting deeper than " + std::to_string(bounds.maxDepth) + " levels";
        }
        break;
      case ']':
      case '}':
        inAtom = false;
        if (depth > 0) --depth;
        break;
      case ',':
      case ':':
      case ' ':
      case '\t':
      case '\n':
      case '\r':
        inAtom = false;
        break;
      default:
        if (!inAtom) ++values;
        inAtom = true;
    }
    if (values > bounds.maxValues) {
      return "more than " + std::to_string(bounds.maxValues) + " values";
    }
  }
  return {};
}

}  // namespace Orbi::Json
