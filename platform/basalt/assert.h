// Fatal stops for states the process must never continue from.
#pragma once

namespace Basalt {
[[noreturn]] void Panic(const char* pattern, const char* file, int line);
}  // namespace Basalt

#define VERIFY(cond) \
  ((cond) ? static_cast<void>(0) : ::Basalt::Panic("VERIFY %s:%d\n", __FILE__, __LINE__))
#define NOT_REACHED() ::Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__)
