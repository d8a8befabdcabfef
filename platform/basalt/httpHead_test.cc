// The heads of HTTP messages: requests parsed piece by piece, answers formatted as Beast would.
#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <sstream>
#include <string>

#include "platform/basalt/httpAnswerHead.h"
#include "platform/basalt/httpRequestHead.h"

namespace Basalt::Http {
namespace {

namespace http = boost::beast::http;

// Feeds `text` to the parser the way the connection does: the head is taken once complete, and
// the body read through a buffer of `room` bytes drained after every step.
std::string Parse(RequestParser& parser, RequestHead& head, std::string_view text, size_t room) {
  std::string body;
  std::string buffer(room, '\0');
  while (!parser.is_done()) {
    if (parser.is_header_done() && head.Size() == 0) head = parser.TakeHead();
    parser.Body() = {buffer.data(), buffer.size()};
    boost::beast::error_code error;
    size_t used = parser.put(boost::asio::buffer(text.data(), text.size()), error);
    text.remove_prefix(used);
    body.append(buffer.data(), buffer.size() - parser.Body().size);
    if (error && error != http::error::need_buffer) {
      ADD_FAILURE() << error.message();
      break;
    }
  }
  return body;
}

TEST(RequestParser, KeepsTheHeadAndCopiesTheBodyPieceByPiece) {
  for (size_t room : {1u, 3u, 64u}) {
    SCOPED_TRACE(room);
    RequestParser parser;
    parser.body_limit(1024);
    RequestHead head;
    std::string body = Parse(parser, head,
                             "POST /api?x=1 HTTP/1.1\r\nHost: localhost\r\nX-Twice: a\r\n"
                             "x-twice: b\r\nTransfer-Encoding: chunked\r\n\r\n"
                             "5\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n",
                             room);
    EXPECT_EQ(body, "hello world");
    EXPECT_EQ(head.Method(), http::verb::post);
    EXPECT_EQ(head.Target(), "/api?x=1");
    EXPECT_EQ(head.Version(), 11u);
    EXPECT_EQ(head.Size(), 4u);
    EXPECT_EQ(head.Find(http::field::host), "localhost");
    EXPECT_EQ(head.Find("X-TWICE"), "a");  // the first, by name without case
    EXPECT_EQ(head.Count(http::field::unknown), 2u);
    EXPECT_EQ(head[3].name, "Transfer-Encoding");
    EXPECT_FALSE(head.Find("X-Trailer"));  // came after the head was handed over
    EXPECT_FALSE(head.Find(http::field::origin));
  }
}

// What Beast writes for the same answer, built the way a Beast server would build it.
std::string BeastHead(const AnswerMessage& answer, const ResponseHeaderDefinitions& defaults,
                      bool keepAlive) {
  http::response<http::string_body> message(static_cast<http::status>(answer.status), 11);
  if (!answer.reason.empty()) message.reason(answer.reason);
  for (const auto& [name, value] : answer.headers) message.set(name, value);
  for (const auto& [name, value] : defaults) {
    if (message.find(name) == message.end()) message.set(name, value);
  }
  message.body() = answer.body;
  message.keep_alive(keepAlive);
  message.prepare_payload();
  // Beast writes "Content-Length: 0" even where HTTP forbids the field (a 204).
  if (IsBodiless(answer.status)) message.erase(http::field::content_length);
  std::ostringstream text;
  text << message.base();
  return text.str();
}

TEST(FormatAnswerHead, WritesWhatBeastsSerializerWrites) {
  const ResponseHeaderDefinitions defaults{{"Cache-Control", "no-store"},
                                           {"X-Content-Type-Options", "nosniff"}};
  std::string out = "left over from an earlier answer";
  for (unsigned code : {200u, 204u, 405u, 431u, 599u}) {
    for (bool keepAlive : {true, false}) {
      SCOPED_TRACE(code);
      AnswerMessage answer;
      answer.status = code;
      if (code == 599) answer.reason = "Custom Reason";
      answer.Set("Content-Type", "application/json");
      answer.Set("allow", "POST");
      answer.Set("x-content-type-options", "handler's own");  // a default the handler replaced
      answer.Set("ALLOW", "POST, GET");                       // set again: replaced, moved last
      if (code != 204) answer.body = "{}";
      FormatAnswerHead(answer, defaults, keepAlive, out);
      EXPECT_EQ(out, BeastHead(answer, defaults, keepAlive));
    }
  }
}

}  // namespace
}  // namespace Basalt::Http
