// Compact JSON text appended straight to a caller's string, from data values or Jansson values,
// with no intermediate tree: how answers and log lines are written.
//
// The text is what Jansson's compact dump would give (members in order, integers in decimal,
// reals in %.17g form with a ".0" or an exponent, control characters escaped, other UTF-8 as is),
// with '<', '>' and '&' escaped as \u003c, \u003e and \u0026 so that an answer can never be sniffed
// as markup. Two differences, where Jansson would fail or drop a member: a byte that does not
// begin a valid UTF-8 sequence is written as \ufffd, and a non-finite real as null.
//
// Stateless functions; safe from any thread.
#pragma once

#include <jansson.h>

#include <string>
#include <string_view>

#include "platform/orbi/values.h"

namespace Orbi::Json {

enum class Encoding {
  kStandard,  // structures and errors carry "_type" with their qualified name
  kClean,     // the same without "_type"
};

// How strings are escaped. Answers: as described above. Canonical (RFC 8785, JSON.stringify): only
// the quote, the backslash and control characters, in lower-case hex. Jansson: the same in
// upper-case hex, Jansson's own dump of valid UTF-8.
enum class StringStyle { kAnswer, kCanonical, kJansson };

void WriteString(std::string& out, std::string_view text, StringStyle style = StringStyle::kAnswer);
void WriteValue(std::string& out, const Data::DataValue& value, Encoding encoding);
// `json` must hold no cycle (Jansson refuses to build one).
void WriteJson(std::string& out, const json_t& json);

}  // namespace Orbi::Json
