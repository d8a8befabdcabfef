// The response side of one HTTP exchange. Each exchange is answered once, by AsyncWrite or
// Answer; an exchange whose response is released unanswered is answered with 500.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace Basalt::Http {

// Methods may be called from any thread.
class Response {
 public:
  using WriteDone = std::function<void(std::shared_ptr<Response>, const std::error_code&)>;

  virtual ~Response();

  virtual void SetContentType(std::string_view type) = 0;

  // Replaces an earlier header of that name. Ignored once the exchange is answered.
  virtual void SetHeader(std::string_view name, std::string_view value) = 0;

  // Sends status 200 with this body, then completes. `done` runs on a runtime thread with the
  // write's error (the client went away, the exchange was already answered, ...).
  virtual void AsyncWrite(std::string body, WriteDone done) = 0;

  // Answers with this status and reason text and no body. Ignored once the exchange is answered.
  virtual void Answer(int status, const std::string& reason) = 0;
};

}  // namespace Basalt::Http
