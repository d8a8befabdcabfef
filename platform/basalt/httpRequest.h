// The request side of one HTTP exchange.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/basalt/httpMethod.h"
#include "platform/basalt/peerCredentials.h"

namespace Basalt::Http {

// Methods may be called from any thread.
class Request {
 public:
  using ReadDone = std::function<void(std::shared_ptr<Request>, const std::error_code&, size_t)>;

  virtual ~Request();

  virtual Method GetMethod() const = 0;

  // The request target as sent, query included.
  virtual std::string GetPath() const = 0;

  // The first header of that name, compared without case; a view of the request's own text,
  // valid while the request lives.
  virtual std::optional<std::string_view> GetHeader(std::string_view name) const = 0;

  // Every header in the order sent, names as sent.
  virtual std::vector<std::pair<std::string, std::string>> GetHeaders() const = 0;

  // Reads at most `size` body bytes into `data`, which must stay valid until `done` runs.
  // done(request, error, n): n == 0 without error means the body has ended. Runs on a runtime
  // thread, never inline. One read at a time; the first read answers "Expect: 100-continue".
  virtual void AsyncRead(void* data, size_t size, ReadDone done) = 0;

  // The connection's two endpoints and, on demand, the peer's host user; kept for the
  // connection's life. Null when the transport cannot tell.
  virtual std::shared_ptr<const System::ConnectionPeer> GetPeer() const { return nullptr; }
};

}  // namespace Basalt::Http
