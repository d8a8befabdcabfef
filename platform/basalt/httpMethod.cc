#include "platform/basalt/httpMethod.h"

namespace Basalt::Http {

const char* MethodName(Method method) {
  switch (method) {
    case Method::GET:
      return "GET";
    case Method::HEAD:
      return "HEAD";
    case Method::POST:
      return "POST";
    case Method::PUT:
      return "PUT";
    case Method::DELETE_:
      return "DELETE";
    case Method::TRACE:
      return "TRACE";
    case Method::OPTIONS:
      return "OPTIONS";
    case Method::CONNECT:
      return "CONNECT";
    case Method::PATCH:
      return "PATCH";
    case Method::UNKNOWN:
      break;
  }
  return "UNKNOWN";
}

}  // namespace Basalt::Http
