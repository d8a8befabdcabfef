#include "platform/basalt/httpAnswerHead.h"

#include <gtest/gtest.h>

#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <sstream>

namespace Basalt::Http {
namespace {

namespace http = boost::beast::http;

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
