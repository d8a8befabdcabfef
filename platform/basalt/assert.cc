#include "platform/basalt/assert.h"

#include <cstdio>
#include <cstdlib>

#include "platform/basalt/logger.h"

namespace Basalt {

void Panic(const char* pattern, const char* file, int line) {
  Service::FlushHeldLogLines();  // the lines that led here come first
  std::fprintf(stderr, pattern, file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace Basalt
