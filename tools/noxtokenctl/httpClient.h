// One blocking HTTP/1.1 exchange with the daemon over plain TCP, bounded in time and size.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace NoxCtl {

// Where an "http://HOST[:PORT][/PATH]" URL points. HOST may be a bracketed IPv6 literal.
struct HttpEndpoint {
  std::string host;
  std::string port;    // "80" when the URL names none
  std::string target;  // "/" when the URL has no path
};

// nullopt for anything but a well-formed http URL (no https: the daemon listens on plain HTTP).
std::optional<HttpEndpoint> ParseHttpUrl(std::string_view url);

struct HttpAnswer {
  int status = 0;
  std::string body;
  std::string server;  // the Server header, empty when absent
};

inline constexpr int kConnectTimeoutSeconds = 5;
inline constexpr int kAnswerTimeoutSeconds = 60;  // a refused password may be delayed by PAM
inline constexpr std::size_t kMaxAnswerBytes = 64 * 1024 * 1024;

// Sends `body` as application/json with the given Accept header and reads the whole answer.
// Throws CtlError(kUnreachable) with the reason when the daemon cannot be connected to, or the
// exchange breaks or times out; an answer over kMaxAnswerBytes is CtlError(kProtocol).
HttpAnswer PostJson(const HttpEndpoint& endpoint, const std::string& body,
                    const std::string& accept);

// A GET of the endpoint's target; fails as PostJson does.
HttpAnswer Get(const HttpEndpoint& endpoint, const std::string& accept);

}  // namespace NoxCtl
