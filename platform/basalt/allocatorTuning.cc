#include "platform/basalt/allocatorTuning.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>

namespace Basalt::Service {

void RestartWithAllocatorTunables(char** argv) {
  if (std::getenv("GLIBC_TUNABLES") != nullptr) return;
  if (setenv("GLIBC_TUNABLES", kAllocatorTunables, 1) != 0) return;
  execv("/proc/self/exe", argv);
  unsetenv("GLIBC_TUNABLES");  // not restarted: run on with glibc's defaults
}

void LimitAllocatorArenas(int arenas) { mallopt(M_ARENA_MAX, arenas); }

void TrimAllocatorPeriodically(App& app, std::chrono::seconds period) {
  malloc_trim(0);
  app.RunAfter(period, [&app, period] { TrimAllocatorPeriodically(app, period); });
}

}  // namespace Basalt::Service
