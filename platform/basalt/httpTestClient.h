// A blocking HTTP/1.1 client over loopback for tests of the HTTP service. Every step has a
// deadline, so a server that never answers fails a test instead of hanging it; answers are read
// by a strict parser, so a malformed answer fails too.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace Basalt::Http::Testing {

using ClientResponse = boost::beast::http::response<boost::beast::http::string_body>;

class HttpTestClient {
 public:
  explicit HttpTestClient(uint16_t port) {
    connected_ = !Run([&](auto done) {
      stream_.async_connect({boost::asio::ip::address_v4::loopback(), port}, done);
    });
  }

  bool IsConnected() const { return connected_; }

  bool Send(const std::string& data) {
    return !Run(
        [&](auto done) { boost::asio::async_write(stream_, boost::asio::buffer(data), done); });
  }

  // One answer, an interim one included; status 0 when the connection ended or the deadline
  // passed first.
  ClientResponse ReadResponse() {
    ClientResponse response;
    if (Run([&](auto done) { boost::beast::http::async_read(stream_, buffer_, response, done); })) {
      response = {};
      response.result(0);
    }
    return response;
  }

  // True when the server closed the connection (end of stream or reset) before the deadline and
  // before sending anything more.
  bool WaitForClose() {
    char byte;
    auto error =
        Run([&](auto done) { stream_.async_read_some(boost::asio::buffer(&byte, 1), done); });
    return buffer_.size() == 0 &&
           (error == boost::asio::error::eof || error == boost::asio::error::connection_reset);
  }

  // Closes with a reset instead of an orderly end.
  void Reset() {
    stream_.socket().set_option(boost::asio::socket_base::linger(true, 0));
    stream_.socket().close();
  }

 private:
  // Runs one asynchronous step to its end or its deadline.
  template <typename Start>
  boost::system::error_code Run(Start start) {
    boost::system::error_code result;
    stream_.expires_after(std::chrono::seconds(10));
    start([&result](boost::system::error_code error, auto&&...) { result = error; });
    io_.restart();
    io_.run();
    return result;
  }

  boost::asio::io_context io_;
  boost::beast::tcp_stream stream_{io_};
  boost::beast::flat_buffer buffer_;
  bool connected_ = false;
};

}  // namespace Basalt::Http::Testing
