// Bounds that a JSON document must keep before it is parsed. Jansson builds the whole tree, and
// every value costs about 100 to 350 bytes there and again as a data value, so a document of
// small values would cost many times its size: a linear scan of the text, allocating nothing,
// refuses such documents first. String bytes are only copied, so their length is not bounded here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Orbi::Json {

struct DocumentBounds {
  int maxDepth;      // arrays and objects nested in one another, the outermost included
  size_t maxValues;  // strings, numbers, literals, arrays and objects; member names count
};

// Those of an API request: the envelope takes three levels and about fifteen values.
inline constexpr DocumentBounds kRequestBounds{64, 50'000};

// Empty when `text` keeps `bounds`; otherwise names the bound it passes, as "more than 50000
// values". Text that is not JSON passes when it keeps the bounds: the parser refuses it.
std::string CheckBounds(std::string_view text, const DocumentBounds& bounds);

}  // namespace Orbi::Json
