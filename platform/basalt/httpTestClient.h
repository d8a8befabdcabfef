// A blocking HTTP/1.1 client over a plain loopback socket, for tests of the HTTP service. Every
// receive is bounded by a timeout, so a server that never answers fails a test instead of
// hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <cstdint>
#include <map>
#include <string>

namespace Basalt::Http::Testing {

struct ClientResponse {
  int status = 0;
  std::string reason;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
  }
};

class HttpTestClient {
 public:
  explicit HttpTestClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{kTimeoutSeconds, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~HttpTestClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  HttpTestClient(const HttpTestClient&) = delete;
  HttpTestClient& operator=(const HttpTestClient&) = delete;

  bool IsConnected() const { return connected_; }

  bool Send(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads one response with a Content-Length body (or none); status 0 when the connection
  // ended or timed out first.
  ClientResponse ReadResponse() {
    ClientResponse response;
    size_t end;
    while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
      if (!Receive()) return response;
    }
    std::string head = pending_.substr(0, end);
    pending_.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    std::string statusLine = head.substr(0, lineEnd);
    if (statusLine.size() < 12) return response;
    response.status = std::stoi(statusLine.substr(9, 3));
    response.reason = statusLine.substr(13);
    while (lineEnd != std::string::npos) {
      size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      std::string line =
          head.substr(start, lineEnd == std::string::npos ? lineEnd : lineEnd - start);
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      for (auto& c : name) c = static_cast<char>(tolower(c));
      size_t valueStart = line.find_first_not_of(' ', colon + 1);
      response.headers[name] = valueStart == std::string::npos ? "" : line.substr(valueStart);
    }
    size_t length =
        std::stoul(response.headers.count("content-length") ? response.headers["content-length"]
                                                            : std::string("0"));
    while (pending_.size() < length) {
      if (!Receive()) {
        response.status = 0;
        return response;
      }
    }
    response.body = pending_.substr(0, length);
    pending_.erase(0, length);
    return response;
  }

  // Consumes the received text up to and including `marker`; empty when it never came.
  std::string ReadUntil(const std::string& marker) {
    size_t at;
    while ((at = pending_.find(marker)) == std::string::npos) {
      if (!Receive()) return {};
    }
    std::string text = pending_.substr(0, at + marker.size());
    pending_.erase(0, at + marker.size());
    return text;
  }

  // True when the server closed the connection (end of stream or reset) before the timeout and
  // before sending anything more.
  bool WaitForClose() {
    char byte;
    ssize_t n = ::recv(fd_, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

  // Closes with a reset instead of an orderly end.
  void Reset() {
    linger option{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(fd_);
    fd_ = -1;
  }

 private:
  static constexpr int kTimeoutSeconds = 10;

  bool Receive() {
    char data[4096];
    ssize_t n = ::recv(fd_, data, sizeof data, 0);
    if (n <= 0) return false;
    pending_.append(data, static_cast<size_t>(n));
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
  std::string pending_;
};

}  // namespace Basalt::Http::Testing
