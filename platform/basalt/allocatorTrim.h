// Keeps what the C allocator holds free from staying resident: after a burst of connections or a
// large request, glibc keeps the freed pages in its arenas until something asks for them back.
#pragma once

#include <chrono>

#include "platform/basalt/app.h"

namespace Basalt::Service {

// At most `arenas` malloc arenas for the whole process (each thread otherwise may get its own, and
// each arena keeps its own free memory). Call before any thread starts.
void LimitAllocatorArenas(int arenas);

// Returns the allocator's free pages to the system now, then every `period` on the app's main
// loop until the app stops. A trim of a few megabytes of heap takes well under a millisecond.
void TrimAllocatorPeriodically(App& app, std::chrono::seconds period);

}  // namespace Basalt::Service
