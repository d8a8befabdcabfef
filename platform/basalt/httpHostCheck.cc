#include "platform/basalt/httpHostCheck.h"

#include <strings.h>

#include <array>
#include <string_view>

namespace Basalt::Http {

namespace http = boost::beast::http;

namespace {

constexpr std::array<std::string_view, 3> kLoopbackHosts = {"localhost", "127.0.0.1", "[::1]"};
constexpr size_t kMaxPortDigits = 5;

bool IsPort(std::string_view text) {
  if (text.empty() || text.size() > kMaxPortDigits) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool IsLoopback(std::string_view host) {
  for (std::string_view name : kLoopbackHosts) {
    if (host.size() < name.size() || strncasecmp(host.data(), name.data(), name.size()) != 0) {
      continue;
    }
    std::string_view rest = host.substr(name.size());
    if (rest.empty() || (rest.front() == ':' && IsPort(rest.substr(1)))) return true;
  }
  return false;
}

}  // namespace

HostRefusal CheckHost(const RequestHead& head) {
  const auto host = head.Find(http::field::host);
  if (!host) {
    if (head.Version() >= 11) return {400, "no Host header"};
  } else if (head.Count(http::field::host) > 1) {
    return {400, "more than one Host header"};
  } else if (!IsLoopback(*host)) {
    return {403, "Host is not a loopback name"};
  }
  if (head.Find(http::field::origin)) return {403, "Origin header"};
  return {};
}

}  // namespace Basalt::Http
