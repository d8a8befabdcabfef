#include "platform/basalt/httpAnswerHead.h"

#include <gtest/gtest.h>

#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <sstream>

namespace Basalt::Http {
namespace {

namespace http = boost::beast::http;

std::string BeastHead(const http::response_header<>& head) {
  std::ostringstream text;
  text << head;
  return text.str();
}

TEST(FormatAnswerHead, WritesWhatBeastsSerializerWrites) {
  std::string out = "left over from an earlier answer";
  for (unsigned code : {200u, 204u, 405u, 431u, 599u}) {
    for (bool keepAlive : {true, false}) {
      SCOPED_TRACE(code);
      http::response<http::string_body> answer(static_cast<http::status>(code), 11);
      if (code == 599) answer.reason("Custom Reason");
      answer.set("X-Content-Type-Options", "nosniff");
      answer.set("allow", "POST");
      answer.insert("X-Twice", "1");
      answer.insert("X-Twice", "2");
      if (code != 204) answer.body() = "{}";
      answer.keep_alive(keepAlive);
      answer.prepare_payload();
      FormatAnswerHead(answer.base(), out);
      EXPECT_EQ(out, BeastHead(answer.base()));
    }
  }
}

}  // namespace
}  // namespace Basalt::Http
