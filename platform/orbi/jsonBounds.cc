#include "platform/orbi/jsonBounds.h"

namespace Orbi::Json {

// Counts each string, each container and each run of other characters outside strings (a number
// or literal): at least one for every value the parser would allocate.
std::string CheckBounds(std::string_view text, const DocumentBounds& bounds) {
  size_t values = 0;
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  bool inAtom = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        inAtom = false;
        ++values;
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
