// How the process uses the C allocator. glibc's defaults suit short programs: a daemon that
// allocates and frees the same small objects on every call wants a deeper per-thread cache, and
// after a burst of connections or a large request it wants the freed pages back in the system.
#pragma once

#include <chrono>

#include "platform/basalt/app.h"

namespace Basalt::Service {

// The per-thread cache's depth is read by glibc only from GLIBC_TUNABLES at process start: the
// service unit and the development scripts set "glibc.malloc.tcache_count=32" in the environment
// (the daemon never starts itself again, so its process keeps its name).

// At most `arenas` malloc arenas for the whole process (each thread otherwise may get its own, and
// each arena keeps its own free memory). Call before any thread starts.
void LimitAllocatorArenas(int arenas);

// Returns the allocator's free pages to the system now, then every `period` on the app's main
// loop until the app stops. A trim of a few megabytes of heap takes well under a millisecond.
void TrimAllocatorPeriodically(App& app, std::chrono::seconds period);

}  // namespace Basalt::Service
