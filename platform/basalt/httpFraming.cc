#include "platform/basalt/httpFraming.h"

#include <strings.h>

#include <string_view>

namespace Basalt::Http {

namespace http = boost::beast::http;

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsChunked(std::string_view coding) {
  return coding.size() == 7 && strncasecmp(coding.data(), "chunked", 7) == 0;
}

}  // namespace

int FramingRefusal(const RequestHead& head) {
  if (!head.Find(http::field::transfer_encoding)) return 0;
  // Whatever the codings, the other side may frame the body differently: never guess.
  if (head.Version() < 11 || head.Find(http::field::content_length)) return 400;
  std::string_view last;
  int chunked = 0;
  bool other = false;
  for (size_t i = 0; i < head.Size(); ++i) {
    if (head[i].id != http::field::transfer_encoding) continue;
    std::string_view list = head[i].value;
    while (!list.empty()) {
      size_t comma = list.find(',');
      std::string_view element = list.substr(0, comma);
      list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
      std::string_view coding = Trim(element.substr(0, element.find(';')));
      if (coding.empty()) continue;
      last = coding;
      if (IsChunked(coding)) {
        ++chunked;
      } else {
        other = true;
      }
    }
  }
  if (!IsChunked(last) || chunked > 1) return 400;
  return other ? 501 : 0;
}

}  // namespace Basalt::Http
