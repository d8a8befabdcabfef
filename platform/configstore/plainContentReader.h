// A direct reader of object content in its usual plain form (see objectCodec.h): no escapes in
// strings, no members but "values", "subObjects", "name" and "instance", no duplicate member,
// values that are strings, booleans or lists of strings. Loading a large store spends most of its
// time building and freeing a JSON tree per object; this reads the text into a small index of
// views and fills the object from it.
//
// It decides before changing anything: for any other text it returns false with `into`
// untouched, and the caller reads the text the general way, which accepts or refuses it with its
// own message. Filling creates sub-objects in the same order as the general way, so a duplicate
// sub-object raises the same ConfigStoreException. Thread-safe (no shared state).
#pragma once

#include <string_view>

#include "platform/configstore/configStoreObject.h"

namespace NoxConfigStore {

bool ReadPlainObjectContent(std::string_view text, WritableObject& into);

}  // namespace NoxConfigStore
