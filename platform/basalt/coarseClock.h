// std::chrono::steady_clock as of the kernel's last tick (CLOCK_MONOTONIC_COARSE): behind the
// precise clock by less than a tick (4 ms at most here), for a quarter of the cost of a read. For
// times of whole seconds that every request sets (its deadlines, its place in the eviction
// queue), where a precise read would be paid several times a call for nothing. Thread-safe.
#pragma once

#include <chrono>
#include <ctime>

namespace Basalt::System {

inline std::chrono::steady_clock::time_point CoarseSteadyNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
}

}  // namespace Basalt::System
