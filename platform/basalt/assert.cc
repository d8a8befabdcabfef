#include "platform/basalt/assert.h"

#include <cstdio>
#include <cstdlib>

namespace Basalt {

void Panic(const char* pattern, const char* file, int line) {
  std::fprintf(stderr, pattern, file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace Basalt
