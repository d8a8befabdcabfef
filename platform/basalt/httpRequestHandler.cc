#include "platform/basalt/httpRequestHandler.h"

#include "platform/basalt/httpStatus.h"

namespace Basalt::Http {

RequestHandlerMixin::~RequestHandlerMixin() = default;

void AnswerMethodNotAllowed(Response& response, const char* allowed) {
  response.SetHeader("Allow", allowed);
  response.Answer(405, ReasonText(405));
}

void RequestHandlerMixin::HandlePost(std::shared_ptr<Request>, std::shared_ptr<Response> response) {
  AnswerMethodNotAllowed(*response, AllowedMethods());
}

void RequestHandlerMixin::HandleGet(std::shared_ptr<Request>, std::shared_ptr<Response> response) {
  AnswerMethodNotAllowed(*response, AllowedMethods());
}

void RequestHandlerMixin::HandleHead(std::shared_ptr<Request>, std::shared_ptr<Response> response) {
  AnswerMethodNotAllowed(*response, AllowedMethods());
}

void RequestHandlerMixin::HandlePut(std::shared_ptr<Request>, std::shared_ptr<Response> response) {
  AnswerMethodNotAllowed(*response, AllowedMethods());
}

void RequestHandlerMixin::HandleDelete(std::shared_ptr<Request>,
                                       std::shared_ptr<Response> response) {
  AnswerMethodNotAllowed(*response, AllowedMethods());
}

}  // namespace Basalt::Http
