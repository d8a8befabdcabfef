// What the HTTP service calls for each request, by method. Every method's default is the HTTP
// layer's own answer: 405 with "Allow: " and AllowedMethods(); a handler overrides the methods it
// serves, and AllowedMethods when they are not POST alone.
#pragma once

#include <memory>

#include "platform/basalt/httpRequest.h"
#include "platform/basalt/httpResponse.h"

namespace Basalt::Http {

class RequestHandlerMixin {
 public:
  virtual ~RequestHandlerMixin();

  // Called on a runtime thread once the request's headers are in; the body is read through
  // the request. Should return soon: the connection waits for it.
  virtual void HandlePost(std::shared_ptr<Request> request, std::shared_ptr<Response> response);
  virtual void HandleGet(std::shared_ptr<Request> request, std::shared_ptr<Response> response);
  virtual void HandleHead(std::shared_ptr<Request> request, std::shared_ptr<Response> response);
  virtual void HandlePut(std::shared_ptr<Request> request, std::shared_ptr<Response> response);
  virtual void HandleDelete(std::shared_ptr<Request> request, std::shared_ptr<Response> response);

  // The "Allow" header's value in the 405 answer to any other method.
  virtual const char* AllowedMethods() const { return "POST"; }
};

// The answer for methods nobody serves (every other method gets it too).
void AnswerMethodNotAllowed(Response& response, const char* allowed);

}  // namespace Basalt::Http
