#include "tools/noxtokenctl/httpClient.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <charconv>
#include <chrono>

#include "tools/noxtokenctl/ctlError.h"

namespace NoxCtl {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

// Runs one asynchronous step to completion. The stream's expiry bounds each step, which the
// blocking calls of the stream would not honour.
template <class Start>
beast::error_code RunStep(asio::io_context& context, Start start) {
  beast::error_code result = asio::error::would_block;
  start([&result](beast::error_code error, auto&&...) { result = error; });
  context.restart();
  context.run();
  return result;
}

std::string Reason(const beast::error_code& error, int timeoutSeconds) {
  if (error == beast::error::timeout) {
    return "no answer within " + std::to_string(timeoutSeconds) + " s";
  }
  return error.message();
}

HttpAnswer Exchange(const HttpEndpoint& endpoint, http::verb method, const std::string* body,
                    const std::string& accept);

}  // namespace

std::optional<HttpEndpoint> ParseHttpUrl(std::string_view url) {
  constexpr std::string_view kScheme = "http://";
  if (!url.starts_with(kScheme)) return std::nullopt;
  url.remove_prefix(kScheme.size());
  const size_t pathStart = url.find('/');
  const std::string_view authority = url.substr(0, pathStart);
  HttpEndpoint endpoint;
  endpoint.target = pathStart == std::string_view::npos ? "/" : std::string(url.substr(pathStart));
  // The port is what follows the last colon after the host, which may be a bracketed literal.
  const size_t hostEnd = authority.starts_with('[') ? authority.find(']') : 0;
  if (hostEnd == std::string_view::npos) return std::nullopt;
  const size_t colon = authority.find(':', hostEnd);
  if (authority.starts_with('[')) {
    if (colon != std::string_view::npos ? colon != hostEnd + 1 : hostEnd + 1 != authority.size()) {
      return std::nullopt;
    }
    endpoint.host = authority.substr(1, hostEnd - 1);
  } else {
    endpoint.host = authority.substr(0, colon);
  }
  if (endpoint.host.empty() || endpoint.host.find_first_of("@[] \t") != std::string::npos) {
    return std::nullopt;
  }
  endpoint.port = "80";
  if (colon != std::string_view::npos) {
    const std::string_view text = authority.substr(colon + 1);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535) {
      return std::nullopt;
    }
    endpoint.port = std::to_string(port);
  }
  return endpoint;
}

HttpAnswer PostJson(const HttpEndpoint& endpoint, const std::string& body,
                    const std::string& accept) {
  return Exchange(endpoint, http::verb::post, &body, accept);
}

HttpAnswer Get(const HttpEndpoint& endpoint, const std::string& accept) {
  return Exchange(endpoint, http::verb::get, nullptr, accept);
}

namespace {

// `body` is sent as application/json; none for a null one.
HttpAnswer Exchange(const HttpEndpoint& endpoint, http::verb method, const std::string* body,
                    const std::string& accept) {
  asio::io_context context;
  asio::ip::tcp::resolver resolver(context);
  beast::error_code error;
  const auto addresses = resolver.resolve(endpoint.host, endpoint.port, error);
  if (error) throw CtlError(ExitCode::kUnreachable, error.message());

  beast::tcp_stream stream(context);
  stream.expires_after(std::chrono::seconds(kConnectTimeoutSeconds));
  error = RunStep(context, [&](auto done) { stream.async_connect(addresses, done); });
  if (error) throw CtlError(ExitCode::kUnreachable, Reason(error, kConnectTimeoutSeconds));

  http::request<http::string_body> request(method, endpoint.target, 11);
  const bool ipv6 = endpoint.host.find(':') != std::string::npos;
  request.set(http::field::host,
              (ipv6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + endpoint.port);
  if (body) {
    request.set(http::field::content_type, "application/json");
    request.body() = *body;
  }
  request.set(http::field::accept, accept);
  request.set(http::field::user_agent, "noxtokenctl");
  request.keep_alive(false);
  request.prepare_payload();

  stream.expires_after(std::chrono::seconds(kAnswerTimeoutSeconds));
  error = RunStep(context, [&](auto done) { http::async_write(stream, request, done); });
  if (error) throw CtlError(ExitCode::kUnreachable, Reason(error, kAnswerTimeoutSeconds));

  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(kMaxAnswerBytes);
  error = RunStep(context, [&](auto done) { http::async_read(stream, buffer, parser, done); });
  if (error == http::error::body_limit) {
    throw CtlError(ExitCode::kProtocol,
                   "the answer is larger than " + std::to_string(kMaxAnswerBytes) + " bytes");
  }
  if (error) throw CtlError(ExitCode::kUnreachable, Reason(error, kAnswerTimeoutSeconds));

  beast::error_code ignored;
  stream.socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  HttpAnswer answer;
  answer.status = static_cast<int>(parser.get().result_int());
  answer.body = std::move(parser.get().body());
  const auto server = parser.get()[http::field::server];
  answer.server.assign(server.data(), server.size());
  return answer;
}

}  // namespace

}  // namespace NoxCtl
