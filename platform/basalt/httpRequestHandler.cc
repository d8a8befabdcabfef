#include "platform/basalt/httpRequestHandler.h"

#include "platform/basalt/httpStatus.h"

namespace Basalt::Http {

RequestHandlerMixin::~RequestHandlerMixin() = default;

void AnswerMethodNotAllowed(Response& response) {
  response.SetHeader("Allow", "POST");
  response.Answer(405, ReasonText(405));
}

void RequestHandlerMixin::HandlePost(std::shared_ptr<Request>, std::shared_ptr<Response> response) {
  AnswerMethodNotAllowed(*response);
}

void RequestHandlerMixin::HandleGet(std::shared_ptr<Request>, std::shared_ptr<Response> response) {
  AnswerMethodNotAllowed(*response);
}

void RequestHandlerMixin::HandleHead(std::shared_ptr<Request>, std::shared_ptr<Response> response) {
  AnswerMethodNotAllowed(*response);
}

void RequestHandlerMixin::HandlePut(std::shared_ptr<Request>, std::shared_ptr<Response> response) {
  AnswerMethodNotAllowed(*response);
}

void RequestHandlerMixin::HandleDelete(std::shared_ptr<Request>,
                                       std::shared_ptr<Response> response) {
  AnswerMethodNotAllowed(*response);
}

}  // namespace Basalt::Http
