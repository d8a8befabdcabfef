// Fixed host paths, redirected under $TESSEL_ROOT when it is set (tests and local runs).
#pragma once

#include <string>
#include <string_view>

namespace Basalt::System {

// "/var/run/x" -> "$TESSEL_ROOT/var/run/x", or unchanged when TESSEL_ROOT is unset or empty.
std::string HostPath(std::string_view absolutePath);

// The root itself: "" in production.
std::string HostRoot();

}  // namespace Basalt::System
