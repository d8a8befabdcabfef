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

#include <string_view>

#include "platform/basalt/jsonHandle.h"

namespace Orbi::Json {

Basalt::Json::JsonPtr ReadPlainJson(std::string_view text);

}  // namespace Orbi::Json
