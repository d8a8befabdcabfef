// The status line and header fields of an answer with the blank line that ends them, byte for
// byte as Beast's serializer writes them, so that the connection can send them and the body in one
// gathered write without running the serializer's buffer machinery for every answer.
// Internal to the HTTP service.
#pragma once

#include <boost/beast/http/message.hpp>
#include <string>

namespace Basalt::Http {

// Replaces `out`'s text, keeping its capacity for the next answer.
void FormatAnswerHead(const boost::beast::http::response_header<>& head, std::string& out);

}  // namespace Basalt::Http
