// Test support: what an action's failure says, so that a refusal is checked by its message.
#pragma once

#include <string>

#include "platform/basalt/exception.h"

namespace Basalt::Testing {

// The message of the Basalt::Exception `action` throws, or "no error" when it returns.
template <typename Action>
std::string MessageOf(Action&& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.GetMessage();
  }
  return "no error";
}

}  // namespace Basalt::Testing
