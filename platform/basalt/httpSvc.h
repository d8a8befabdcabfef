// The HTTP/1.1 service of an endpoint: accepts connections on a server socket and hands each
// request to the request handler, on the app's event loop.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/basalt/httpRequestHandler.h"
#include "platform/basalt/logger.h"
#include "platform/basalt/tcpServerSocket.h"

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
  // while the budget is spent. Smaller bodies fit the connection's own read buffer.
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

struct ConnectionCounts {
  uint64_t open = 0;     // connections whose socket is open now
  uint64_t evicted = 0;  // closed at the bound to let a newcomer in, since the start
  uint64_t refused = 0;  // newcomers closed at the bound because no connection could give way
};

// The connection bound when the descriptor limit allows it and nothing else is configured.
inline constexpr size_t kMaxConnectionsDefault = 8192;

class HttpSvc {
 public:
  virtual ~HttpSvc();

  // Without a handler every request gets the mix-in's answer. Thread-safe; takes effect for
  // requests whose headers arrive later.
  virtual void SetRequestHandler(std::shared_ptr<RequestHandlerMixin> handler) = 0;

  // Begins accepting; the service stops listening when it is released.
  virtual void Start() = 0;

  // Thread-safe and cheap (three relaxed atomic loads); the three are not one snapshot.
  virtual ConnectionCounts GetConnectionCounts() const = 0;
};

// The socket must be bound and must not outlive the app's event loop.
std::shared_ptr<HttpSvc> CreateHttpSvc(std::shared_ptr<System::TCPServerSocket> socket,
                                       std::shared_ptr<Service::Logger> logger,
                                       ResponseHeaderDefinitions headers);

std::shared_ptr<HttpSvc> CreateHttpSvc(std::shared_ptr<System::TCPServerSocket> socket,
                                       std::shared_ptr<Service::Logger> logger,
                                       ResponseHeaderDefinitions headers, HttpLimits limits);

}  // namespace Basalt::Http
