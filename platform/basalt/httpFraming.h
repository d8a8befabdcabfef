// How a request's body is delimited, checked once its headers are read and before any of its body.
// Internal to the HTTP service.
#pragma once

#include "platform/basalt/httpRequestHead.h"

namespace Basalt::Http {

// 0 when the body's length is known for sure; otherwise the status to answer before closing the
// connection: 400 for a Transfer-Encoding whose last coding is not "chunked", one beside a
// Content-Length, one in an HTTP/1.0 request or one naming "chunked" twice; 501 for a coding
// other than "chunked" before it, which the service cannot decode.
int FramingRefusal(const RequestHead& head);

}  // namespace Basalt::Http
