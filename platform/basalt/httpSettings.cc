#include "platform/basalt/httpSettings.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "platform/basalt/app.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/format.h"

namespace Basalt::Http {

namespace {

constexpr int64_t kMaxTimeoutSeconds = 24 * 3600;
// Descriptors kept for everything but connections: listeners, the store, PAM, logs.
constexpr size_t kReservedDescriptors = 128;

std::chrono::seconds ReadSeconds(const Service::Config& config, const std::string& key,
                                 std::chrono::seconds fallback) {
  int64_t seconds = fallback.count();
  config.GetInt(key, seconds);
  if (seconds < 1 || seconds > kMaxTimeoutSeconds) {
    throw Exception(Format("configuration key '%1' must be between 1 and %2, not %3", key,
                           kMaxTimeoutSeconds, seconds));
  }
  return std::chrono::seconds(seconds);
}

// Connections are descriptors: take all the system grants this process.
size_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return std::numeric_limits<size_t>::max();
  return static_cast<size_t>(limit.rlim_cur);
}

}  // namespace

ResponseHeaderDefinitions GetDefaultResponseHeadersDefinitions() {
  return {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
}

HttpLimits HttpLimits::FromAppConfig(Service::Logger* logger) {
  HttpLimits limits;
  size_t descriptors = RaiseDescriptorLimit();
  size_t allowed = descriptors > kReservedDescriptors ? descriptors - kReservedDescriptors : 1;
  limits.maxConnections = std::min(allowed, kMaxConnectionsDefault);
  if (logger && allowed <= kFewConnections) {
    logger->Log(3, "The descriptor limit (%1) leaves room for only %2 connections", descriptors,
                allowed);
  }
  auto app = Service::GetApp();
  if (!app) return limits;
  const auto& config = *app->GetConfig();
  limits.idleTimeout = ReadSeconds(config, "http/idleTimeoutSeconds", limits.idleTimeout);
  limits.headerTimeout = ReadSeconds(config, "http/headerTimeoutSeconds", limits.headerTimeout);
  limits.bodyTimeout = ReadSeconds(config, "http/bodyTimeoutSeconds", limits.bodyTimeout);
  auto connections = static_cast<int64_t>(limits.maxConnections);
  config.GetInt("http/maxConnections", connections);
  if (connections < 1 || connections > static_cast<int64_t>(allowed)) {
    throw Exception(Format(
        "configuration key 'http/maxConnections' must be between 1 and %1 (the descriptor limit "
        "less %2), not %3",
        allowed, kReservedDescriptors, connections));
  }
  limits.maxConnections = static_cast<size_t>(connections);
  return limits;
}

}  // namespace Basalt::Http
