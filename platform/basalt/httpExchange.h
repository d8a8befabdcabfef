// The Request and Response objects of one exchange on an HttpConnection. The request's line and
// headers are copied at creation, so reading them needs no lock. Internal to the HTTP service.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/basalt/httpConnection.h"
#include "platform/basalt/httpRequest.h"
#include "platform/basalt/httpResponse.h"

namespace Basalt::Http {

class ExchangeRequest : public Request, public std::enable_shared_from_this<ExchangeRequest> {
 public:
  ExchangeRequest(std::shared_ptr<HttpConnection> connection, uint64_t exchange, Method method,
                  std::string path, std::vector<std::pair<std::string, std::string>> headers);

  Method GetMethod() const override { return method_; }
  std::string GetPath() const override { return path_; }
  std::optional<std::string> GetHeader(std::string_view name) const override;
  std::vector<std::pair<std::string, std::string>> GetHeaders() const override { return headers_; }
  void AsyncRead(void* data, size_t size, ReadDone done) override;

 private:
  std::shared_ptr<HttpConnection> connection_;
  uint64_t exchange_;
  Method method_;
  std::string path_;
  std::vector<std::pair<std::string, std::string>> headers_;
};

class ExchangeResponse : public Response, public std::enable_shared_from_this<ExchangeResponse> {
 public:
  ExchangeResponse(std::shared_ptr<HttpConnection> connection, uint64_t exchange);
  // Answers 500 when nobody answered.
  ~ExchangeResponse() override;

  void SetContentType(const std::string& type) override;
  void SetHeader(const std::string& name, const std::string& value) override;
  void AsyncWrite(const void* data, size_t size, WriteDone done) override;
  void Answer(int status, const std::string& reason) override;

 private:
  // Takes the answer under construction, or null when the exchange was already answered.
  std::shared_ptr<AnswerMessage> TakeAnswer();

  std::shared_ptr<HttpConnection> connection_;
  uint64_t exchange_;
  std::mutex mutex_;  // guards answer_
  std::shared_ptr<AnswerMessage> answer_;
};

}  // namespace Basalt::Http
