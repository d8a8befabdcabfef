// The Request and Response objects of one exchange on an HttpConnection. The request takes over
// the parsed line and headers at creation and never changes them, so reading them needs no lock.
// Internal to the HTTP service.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/basalt/httpAnswerHead.h"
#include "platform/basalt/httpRequest.h"
#include "platform/basalt/httpRequestHead.h"
#include "platform/basalt/httpResponse.h"
#include "platform/basalt/peerCredentials.h"

namespace Basalt::Http {

// What the exchange objects need of the connection that carries them. `exchange` names the
// request a caller belongs to: a call for an exchange the connection has left, or made after it
// closed, fails without touching the socket. Every member is thread-safe.
class ExchangeChannel {
 public:
  virtual ~ExchangeChannel() = default;

  virtual void ReadBody(uint64_t exchange, std::shared_ptr<Request> request, void* data,
                        size_t size, Request::ReadDone done) = 0;
  virtual void Send(uint64_t exchange, std::shared_ptr<AnswerMessage> answer,
                    std::function<void(const std::error_code&)> done) = 0;

  // False once the event loop is stopped: nothing posted would run.
  virtual bool IsLoopRunning() const = 0;

  // Shares the channel's life.
  virtual std::shared_ptr<const System::ConnectionPeer> GetPeer() = 0;
};

class ExchangeRequest : public Request, public std::enable_shared_from_this<ExchangeRequest> {
 public:
  ExchangeRequest(std::shared_ptr<ExchangeChannel> connection, uint64_t exchange, Method method,
                  RequestHead head);

  Method GetMethod() const override { return method_; }
  std::string GetPath() const override;
  std::optional<std::string_view> GetHeader(std::string_view name) const override;
  std::vector<std::pair<std::string, std::string>> GetHeaders() const override;
  void AsyncRead(void* data, size_t size, ReadDone done) override;
  std::shared_ptr<const System::ConnectionPeer> GetPeer() const override {
    return connection_->GetPeer();
  }

 private:
  std::shared_ptr<ExchangeChannel> connection_;
  uint64_t exchange_;
  Method method_;
  const RequestHead head_;
};

class ExchangeResponse : public Response, public std::enable_shared_from_this<ExchangeResponse> {
 public:
  ExchangeResponse(std::shared_ptr<ExchangeChannel> connection, uint64_t exchange);
  // Answers 500 when nobody answered.
  ~ExchangeResponse() override;

  void SetContentType(std::string_view type) override;
  void SetHeader(std::string_view name, std::string_view value) override;
  void AsyncWrite(std::string body, WriteDone done) override;
  void Answer(int status, const std::string& reason) override;

 private:
  // Takes the answer under construction, or null when the exchange was already answered. The
  // answer keeps this object alive; once taken, only the connection touches it.
  std::shared_ptr<AnswerMessage> TakeAnswer();

  std::shared_ptr<ExchangeChannel> connection_;
  uint64_t exchange_;
  std::mutex mutex_;  // guards answer_ and taken_
  AnswerMessage answer_;
  bool taken_ = false;
};

}  // namespace Basalt::Http
