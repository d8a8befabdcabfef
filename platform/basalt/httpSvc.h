// The HTTP/1.1 service of an endpoint: accepts connections on a server socket and hands each
// request to the request handler, on the app's event loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/basalt/httpRequestHandler.h"
#include "platform/basalt/httpSettings.h"
#include "platform/basalt/logger.h"
#include "platform/basalt/tcpServerSocket.h"

namespace Basalt::Http {

struct ConnectionCounts {
  uint64_t open = 0;     // connections whose socket is open now
  uint64_t evicted = 0;  // closed at the bound to let a newcomer in, since the start
  uint64_t refused = 0;  // newcomers closed at the bound because no connection could give way
};

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
