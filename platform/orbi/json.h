// The two JSON encodings of data values, over Jansson.
#pragma once

#include <jansson.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/basalt/jsonHandle.h"
#include "platform/basalt/result.h"
#include "platform/orbi/jsonWriter.h"
#include "platform/orbi/values.h"

namespace Orbi::Json {

using Basalt::Json::JsonPtr;

// Deeper input is refused: bounds recursion on hostile documents.
inline constexpr int kMaxDepth = 64;

JsonPtr ToJson(const Data::DataValue& value, Encoding encoding);

// Compact text as jsonWriter.h describes it.
std::string Dump(const json_t& json);
std::string ToText(const Data::DataValue& value, Encoding encoding);

// Untyped decoding: objects become structures named by their "_type" member (empty without one),
// null becomes NullValue. Refused, with the reason, when the document is too deep or a "_type"
// member is not a non-empty string.
Basalt::Result<Data::ValuePtr, std::string> FromJson(const json_t& json, int depth = 0);

}  // namespace Orbi::Json
