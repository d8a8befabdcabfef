#include "platform/basalt/httpExchange.h"

#include <boost/asio/error.hpp>
#include <boost/beast/http/field.hpp>

#include "platform/basalt/httpStatus.h"

namespace Basalt::Http {

namespace {

bool IsFraming(std::string_view name) {
  using boost::beast::http::field;
  const field id = boost::beast::http::string_to_field({name.data(), name.size()});
  return id == field::content_length || id == field::transfer_encoding || id == field::connection;
}

// A byte that would end the line (or, with a colon, the name) a caller's text stands in. A loop
// rather than find_first_of, which looks each byte up in the set with its own memchr.
bool Breaks(std::string_view text, bool isName) {
  for (const char c : text) {
    if (c == '\r' || c == '\n' || c == '\0' || (isName && c == ':')) return true;
  }
  return false;
}

}  // namespace

ExchangeRequest::ExchangeRequest(std::shared_ptr<ExchangeChannel> connection, uint64_t exchange,
                                 Method method, RequestHead head)
    : connection_(std::move(connection)),
      exchange_(exchange),
      method_(method),
      head_(std::move(head)) {}

std::string ExchangeRequest::GetPath() const { return std::string(head_.Target()); }

std::optional<std::string_view> ExchangeRequest::GetHeader(std::string_view name) const {
  return head_.Find(name);
}

std::vector<std::pair<std::string, std::string>> ExchangeRequest::GetHeaders() const {
  std::vector<std::pair<std::string, std::string>> headers;
  headers.reserve(head_.Size());
  for (size_t i = 0; i < head_.Size(); ++i) {
    auto field = head_[i];
    headers.emplace_back(field.name, field.value);
  }
  return headers;
}

void ExchangeRequest::AsyncRead(void* data, size_t size, ReadDone done) {
  connection_->ReadBody(exchange_, shared_from_this(), data, size, std::move(done));
}

ExchangeResponse::ExchangeResponse(std::shared_ptr<ExchangeChannel> connection, uint64_t exchange)
    : connection_(std::move(connection)), exchange_(exchange) {}

ExchangeResponse::~ExchangeResponse() {
  if (taken_ || !connection_->IsLoopRunning()) return;
  answer_.status = 500;
  answer_.reason = ReasonText(500);
  answer_.body.clear();
  connection_->Send(exchange_, std::make_shared<AnswerMessage>(std::move(answer_)), nullptr);
}

std::shared_ptr<AnswerMessage> ExchangeResponse::TakeAnswer() {
  std::lock_guard lock(mutex_);
  if (taken_) return nullptr;
  taken_ = true;
  return std::shared_ptr<AnswerMessage>(shared_from_this(), &answer_);
}

void ExchangeResponse::SetContentType(std::string_view type) { SetHeader("Content-Type", type); }

void ExchangeResponse::SetHeader(std::string_view name, std::string_view value) {
  // A line break in either would let a caller's text start a header or answer of its own; the
  // framing headers are the connection's.
  if (name.empty() || Breaks(name, true) || Breaks(value, false) || IsFraming(name)) {
    return;
  }
  std::lock_guard lock(mutex_);
  if (!taken_) answer_.Set(name, value);
}

void ExchangeResponse::AsyncWrite(std::string body, WriteDone done) {
  auto answer = TakeAnswer();
  std::shared_ptr<Response> self = shared_from_this();
  auto complete = [self, done = std::move(done)](const std::error_code& error) {
    if (done) done(self, error);
  };
  if (!answer) {
    connection_->Send(exchange_, nullptr, std::move(complete));
    return;
  }
  answer->body = std::move(body);
  connection_->Send(exchange_, std::move(answer), std::move(complete));
}

void ExchangeResponse::Answer(int status, const std::string& reason) {
  auto answer = TakeAnswer();
  if (!answer) return;
  if (status < 100 || status > 599) status = 500;
  answer->status = static_cast<unsigned>(status);
  answer->reason = reason;
  connection_->Send(exchange_, std::move(answer), nullptr);
}

}  // namespace Basalt::Http
