// The text form of an object's content, as kept in the database and in schema files:
//   {"values": {"name": "text" | true | ["a", "b"]},
//    "subObjects": [{"name": "n", "instance": "id", "values": {...}, "subObjects": [...]}]}
// "instance" is left out for a sub-object without one; sub-objects keep their order.
#pragma once

#include <jansson.h>

#include <string>
#include <string_view>

#include "platform/configstore/configStoreObject.h"

namespace NoxConfigStore {

std::string EncodeObjectContent(const ReadOnlyObject& object);

// Fills an empty object; raises ConfigStoreException naming `what` when the text is not valid.
void DecodeObjectContent(std::string_view text, WritableObject& into, const std::string& what);

// The same, from an already parsed JSON object (schema files embed contents).
void DecodeObjectContent(const json_t* content, WritableObject& into, const std::string& what);

}  // namespace NoxConfigStore
