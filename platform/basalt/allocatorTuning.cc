#include "platform/basalt/allocatorTuning.h"

#include <malloc.h>

namespace Basalt::Service {

void LimitAllocatorArenas(int arenas) { mallopt(M_ARENA_MAX, arenas); }

void TrimAllocatorPeriodically(App& app, std::chrono::seconds period) {
  malloc_trim(0);
  app.RunAfter(period, [&app, period] { TrimAllocatorPeriodically(app, period); });
}

}  // namespace Basalt::Service
