// What an HTTP service is set up with: the headers it adds to every answer and its limits.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/basalt/logger.h"

namespace Basalt::Http {

// Headers added to every answer, in this order.
using ResponseHeaderDefinitions = std::vector<std::pair<std::string, std::string>>;

// "Cache-Control: no-store" and "X-Content-Type-Options: nosniff".
ResponseHeaderDefinitions GetDefaultResponseHeadersDefinitions();

// The largest body the daemon's request handler takes.
inline constexpr size_t kMaxBodySize = 20'000'000;

struct HttpLimits {
  // A connection waiting longer than this for a request, for any byte of its headers or body, or
  // for the client to take an answer is closed.
  std::chrono::seconds idleTimeout{30};
  // A request's headers must all arrive within this from its first byte, and its body within
  // `bodyTimeout` from when the service begins to read it, however steadily bytes trickle in.
  std::chrono::seconds headerTimeout{10};
  std::chrono::seconds bodyTimeout{30};
  // Request line and headers together; more gets 431 and the connection is closed.
  size_t headerLimit = 16 * 1024;
  // At this many connections a new one makes the service close the connection that has gone
  // longest without completing an exchange (httpEvictionQueue.h), whatever it is doing.
  size_t maxConnections = 256;
  // Bodies larger than `smallBody` share `bodyBudget` bytes across all connections: each reserves
  // its Content-Length, or `maxBody` when chunked, before its first byte is read, and waits
  // while the budget is spent. One peer host user holds at most `bodyBudget - maxBody` of it.
  // Smaller bodies fit the connection's own read buffer.
  size_t bodyBudget = 64 << 20;
  size_t smallBody = 64 << 10;
  size_t maxBody = kMaxBodySize;

  // Defaults, with "http/idleTimeoutSeconds", "http/headerTimeoutSeconds",
  // "http/bodyTimeoutSeconds" and "http/maxConnections" of the app's configuration when there is
  // an app. Raises the process's soft descriptor limit to its hard limit, and bounds the
  // connections by what that leaves (at most kMaxConnectionsDefault unless configured). A bound
  // of kFewConnections or less left by the descriptor limit is logged on `logger` at level 3.
  static HttpLimits FromAppConfig(Service::Logger* logger = nullptr);
};

// A descriptor limit that leaves this many connections or fewer is worth a warning.
inline constexpr size_t kFewConnections = 128;

// The connection bound when the descriptor limit allows it and nothing else is configured.
inline constexpr size_t kMaxConnectionsDefault = 8192;

}  // namespace Basalt::Http
