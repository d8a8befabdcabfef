// How the process uses the C allocator. glibc's defaults suit short programs: a daemon that
// allocates and frees the same small objects on every call wants a deeper per-thread cache, and
// after a burst of connections or a large request it wants the freed pages back in the system.
#pragma once

#include <chrono>

#include "platform/basalt/app.h"

namespace Basalt::Service {

// glibc reads the per-thread cache's depth only from GLIBC_TUNABLES when a process starts, so
// this starts the program again (same process, same arguments) with kAllocatorTunables set, once.
// Returns without doing anything when GLIBC_TUNABLES is already set (by an earlier start, or by an
// administrator, whose choice stands) or when the program cannot be started again.
inline constexpr const char* kAllocatorTunables = "glibc.malloc.tcache_count=32";
void RestartWithAllocatorTunables(char** argv);

// At most `arenas` malloc arenas for the whole process (each thread otherwise may get its own, and
// each arena keeps its own free memory). Call before any thread starts.
void LimitAllocatorArenas(int arenas);

// Returns the allocator's free pages to the system now, then every `period` on the app's main
// loop until the app stops. A trim of a few megabytes of heap takes well under a millisecond.
void TrimAllocatorPeriodically(App& app, std::chrono::seconds period);

}  // namespace Basalt::Service
