#include "platform/basalt/httpAnswerHead.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/status.hpp>
#include <charconv>
#include <ostream>  // needed by the Beast header above

namespace Basalt::Http {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  return boost::beast::iequals({a.data(), a.size()}, {b.data(), b.size()});
}

void AppendField(std::string& out, std::string_view name, std::string_view value) {
  out += name;
  out += ": ";
  out += value;
  out += "\r\n";
}

}  // namespace

void AnswerMessage::Set(std::string_view name, std::string_view value) {
  std::erase_if(headers, [name](const auto& header) { return SameName(header.first, name); });
  headers.emplace_back(name, value);
}

bool AnswerMessage::Has(std::string_view name) const {
  for (const auto& header : headers) {
    if (SameName(header.first, name)) return true;
  }
  return false;
}

bool IsBodiless(unsigned status) { return status / 100 == 1 || status == 204 || status == 304; }

void FormatAnswerHead(const AnswerMessage& answer, const ResponseHeaderDefinitions& defaults,
                      bool keepAlive, std::string& out) {
  const unsigned code = answer.status;
  std::string_view reason = answer.reason;
  if (reason.empty()) {
    auto text = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(code));
    reason = std::string_view(text.data(), text.size());
  }
  out.assign("HTTP/1.1 ");
  out += static_cast<char>('0' + code / 100 % 10);
  out += static_cast<char>('0' + code / 10 % 10);
  out += static_cast<char>('0' + code % 10);
  out += ' ';
  out += reason;
  out += "\r\n";
  for (const auto& [name, value] : answer.headers) AppendField(out, name, value);
  for (const auto& [name, value] : defaults) {
    if (!answer.Has(name)) AppendField(out, name, value);
  }
  if (!keepAlive) AppendField(out, "Connection", "close");
  if (!IsBodiless(code)) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, answer.body.size()).ptr;
    AppendField(out, "Content-Length", std::string_view(digits, end - digits));
  }
  out += "\r\n";
}

}  // namespace Basalt::Http
