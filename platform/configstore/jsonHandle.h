// Owning handle for Jansson values.
#pragma once

#include "platform/basalt/janssonHandle.h"

namespace NoxConfigStore {

using JsonHandle = Basalt::Json::JsonPtr;
using JsonText = Basalt::Json::CStringPtr;

}  // namespace NoxConfigStore
