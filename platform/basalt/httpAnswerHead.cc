#include "platform/basalt/httpAnswerHead.h"

#include <boost/beast/http/status.hpp>

namespace Basalt::Http {

namespace http = boost::beast::http;

namespace {

char Digit(unsigned value) { return static_cast<char>('0' + value % 10); }

void Append(std::string& out, boost::beast::string_view text) {
  out.append(text.data(), text.size());
}

}  // namespace

void FormatAnswerHead(const http::response_header<>& head, std::string& out) {
  unsigned version = head.version();
  unsigned code = head.result_int();
  auto reason = head.reason();
  if (reason.empty()) reason = http::obsolete_reason(static_cast<http::status>(code));
  out.assign("HTTP/");
  out += Digit(version / 10);
  out += '.';
  out += Digit(version);
  out += ' ';
  out += Digit(code / 100);
  out += Digit(code / 10);
  out += Digit(code);
  out += ' ';
  Append(out, reason);
  out += "\r\n";
  for (const auto& field : head) {
    Append(out, field.name_string());
    out += ": ";
    Append(out, field.value());
    out += "\r\n";
  }
  out += "\r\n";
}

}  // namespace Basalt::Http
