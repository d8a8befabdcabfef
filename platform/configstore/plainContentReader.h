// A direct reader of object content in its usual plain form (see objectCodec.h): no members but
// "values", "subObjects", "name" and "instance", no duplicate member, values that are strings,
// booleans or lists of strings, no escapes in names, and in values only the one-letter escapes
// (quote, backslash, slash, b, f, n, r, t: certificate texts hold line feeds); "\u" escapes are
// left to the general reader. Loading a large store spends most of its time building and freeing
// a JSON tree per object; this reads the text into a small index of views and fills the object
// from it.
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
