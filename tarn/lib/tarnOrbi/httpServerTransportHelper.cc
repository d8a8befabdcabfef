#include "tarnOrbi/httpServerTransportHelper.h"

#include <charconv>
#include <cstdio>

#include "platform/basalt/httpStatus.h"
#include "platform/orbi/frameworkIds.h"
#include "platform/orbi/localizer.h"

namespace TarnOrbi {

using ServerDetail::TransferFailure;

namespace {

std::string Address(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

// The record is only built when it will be written: this runs twice per frame.
template <class MakeText>
void LogDetail(const Orbi::Core::Logger& logger, MakeText makeText) {
  if (logger.IsEnabled(1)) logger.Log(1, makeText());
}

constexpr const char* kCategoryField = "category";
constexpr const char* kHttpCategory = "http";
constexpr const char* kCodeField = "code";
constexpr const char* kMessageField = "message";

}  // namespace

std::shared_ptr<const Orbi::Data::ErrorValue> MakeTransportError(const char* messageId,
                                                                 const TransferFailure& failure) {
  auto error = std::make_shared<Orbi::Data::ErrorValue>("system_error");
  auto messages = Orbi::Data::ListValue::Create();
  messages->Add(Orbi::L10n::Localizer::Default()->ToValue({messageId, {{"0", failure.text}}}));
  error->SetField("messages", messages);
  error->SetField(kCategoryField, Orbi::Data::StringValue::Create(kHttpCategory));
  error->SetField(kCodeField, Orbi::Data::IntegerValue::Create(failure.status));
  error->SetField(kMessageField,
                  Orbi::Data::StringValue::Create(Basalt::Http::ReasonText(failure.status)));
  return error;
}

std::optional<TransportErrorStatus> ReadTransportError(const Orbi::Data::ErrorValue& error) {
  const std::string* category = error.GetString(kCategoryField);
  auto code = Orbi::Data::As<Orbi::Data::IntegerValue>(error.GetField(kCodeField));
  if (!category || *category != kHttpCategory || !code) return std::nullopt;
  const std::string* reason = error.GetString(kMessageField);
  return TransportErrorStatus{static_cast<int>(code->GetValue()), reason ? *reason : ""};
}

namespace ServerDetail {

FrameAdapter::FrameAdapter(const char* name, const char* failedId,
                           std::shared_ptr<const Orbi::Core::Logger> logger)
    : name_(name), failedId_(failedId), logger_(std::move(logger)) {
  LogDetail(*logger_,
            [&] { return std::string("HttpServerTransportHelper<") + name_ + "> created"; });
}

FrameAdapter::~FrameAdapter() {
  LogDetail(*logger_,
            [&] { return std::string("HttpServerTransportHelper<") + name_ + "> destroyed"; });
}

bool FrameAdapter::BeginFrame(const void* buffer, const Orbi::Transport::FrameCb& done) {
  LogDetail(*logger_,
            [&] { return std::string("HandleFrame<") + name_ + ">[" + Address(buffer) + "]"; });
  if (busy_) {
    done(MakeTransportError(failedId_, {500, "A frame is already in progress."}));
    return false;
  }
  busy_ = true;
  return true;
}

std::shared_ptr<const Orbi::Data::ErrorValue> FrameAdapter::EndFrame(
    const void* buffer, const std::optional<TransferFailure>& failure) {
  busy_ = false;
  LogDetail(*logger_, [&] {
    std::string text = std::string("HandleFrameCb<") + name_ + ">[" + Address(buffer) + "]";
    if (failure) text += " Error: " + failure->text;
    return text;
  });
  return failure ? MakeTransportError(failedId_, *failure) : nullptr;
}

}  // namespace ServerDetail

// Receive side.

std::shared_ptr<HttpRecvHelper> HttpRecvHelper::Create(
    std::shared_ptr<Basalt::Http::Request> request,
    std::shared_ptr<const Orbi::Core::Logger> logger, int32_t maxRequestSize) {
  auto helper = std::make_shared<HttpRecvHelper>(std::move(request), std::move(logger),
                                                 static_cast<int64_t>(maxRequestSize));
  helper->self_ = helper;
  return helper;
}

HttpRecvHelper::HttpServerTransportHelper(std::shared_ptr<Basalt::Http::Request> request,
                                          std::shared_ptr<const Orbi::Core::Logger> logger,
                                          int64_t maxSize)
    : FrameAdapter("Recv", Orbi::Ids::kRecvFailed, std::move(logger)),
      request_(std::move(request)),
      maxSize_(maxSize) {}

HttpRecvHelper::~HttpServerTransportHelper() = default;

void HttpRecvHelper::HandleFrame(std::shared_ptr<Orbi::Transport::FrameBuffer> buffer,
                                 Orbi::Transport::FrameCb done) {
  if (!BeginFrame(buffer.get(), done)) return;
  buffer_ = std::move(buffer);
  done_ = std::move(done);
  auto length = request_->GetHeader("Content-Length");
  uint64_t announced = 0;
  if (length && std::from_chars(length->data(), length->data() + length->size(), announced).ec ==
                    std::errc()) {
    announced_ = announced;
  }
  ReadStep();
}

// The room prepared for a body of announced length at most doubles what has come, up to that
// length: the buffer zero-fills what it prepares, and a client that announces a body and then
// stalls must hold no more memory than it sent (bodies the HTTP service admits without its
// shared budget would otherwise pin their whole length each).
size_t HttpRecvHelper::NextStep() const {
  if (!announced_) return kReadStep;
  uint64_t total = std::min(*announced_, static_cast<uint64_t>(maxSize_));
  // One byte more: a body longer than its announced length is the HTTP parser's to refuse.
  const size_t rest = static_cast<size_t>(total - std::min(bytesRead_, total)) + 1;
  return std::min(rest, std::max(kReadStep, static_cast<size_t>(bytesRead_)));
}

void HttpRecvHelper::ReadStep() {
  auto self = self_.lock();
  try {
    size_t step = NextStep();
    auto space = buffer_->Prepare(step);
    request_->AsyncRead(
        space.data(), space.size(),
        [self, step](std::shared_ptr<Basalt::Http::Request>, const std::error_code& error,
                     size_t n) {
          self->buffer_->Commit(std::min(n, step));
          if (error) {
            self->HandleFrameCb(TransferFailure{500, error.message()});
          } else if (n > 0) {
            self->bytesRead_ += n;
            if (self->bytesRead_ >= static_cast<uint64_t>(self->maxSize_)) {
              self->HandleFrameCb(TransferFailure{
                  400, "Request exceeds max size: " + std::to_string(self->maxSize_) + "."});
            } else if (self->announced_ && self->bytesRead_ == *self->announced_) {
              // The whole announced body is here: no read only to meet its end.
              self->HandleFrameCb(std::nullopt);
            } else {
              self->ReadStep();
            }
          } else {
            self->HandleFrameCb(std::nullopt);
          }
        });
  } catch (const std::exception& e) {
    HandleFrameCb(TransferFailure{500, e.what()});
  }
}

void HttpRecvHelper::HandleFrameCb(std::optional<TransferFailure> failure) {
  auto error = EndFrame(buffer_.get(), failure);
  auto done = std::move(done_);
  buffer_.reset();
  done(std::move(error));
}

// Send side.

std::shared_ptr<HttpSendHelper> HttpSendHelper::Create(
    std::shared_ptr<Basalt::Http::Response> response,
    std::shared_ptr<const Orbi::Core::Logger> logger) {
  auto helper = std::make_shared<HttpSendHelper>(std::move(response), std::move(logger));
  helper->self_ = helper;
  return helper;
}

HttpSendHelper::HttpServerTransportHelper(std::shared_ptr<Basalt::Http::Response> response,
                                          std::shared_ptr<const Orbi::Core::Logger> logger)
    : FrameAdapter("Send", Orbi::Ids::kSendFailed, std::move(logger)),
      response_(std::move(response)) {}

HttpSendHelper::~HttpServerTransportHelper() = default;

void HttpSendHelper::HandleFrame(std::shared_ptr<Orbi::Transport::FrameBuffer> buffer,
                                 Orbi::Transport::FrameCb done) {
  HandleFrame(std::move(buffer), {}, true, std::move(done));
}

void HttpSendHelper::HandleFrame(std::shared_ptr<Orbi::Transport::FrameBuffer> buffer,
                                 const Orbi::Transport::HeaderList& headers,
                                 Orbi::Transport::FrameCb done) {
  HandleFrame(std::move(buffer), headers, true, std::move(done));
}

void HttpSendHelper::HandleFrame(std::shared_ptr<Orbi::Transport::FrameBuffer> buffer,
                                 const Orbi::Transport::HeaderList& headers, bool,
                                 Orbi::Transport::FrameCb done) {
  if (!BeginFrame(buffer.get(), done)) return;
  auto self = self_.lock();
  try {
    for (const auto& [name, value] : headers) response_->SetHeader(name, value);
    response_->AsyncWrite(
        buffer->Take(),
        [self, buffer, done](std::shared_ptr<Basalt::Http::Response>, const std::error_code& e) {
          std::optional<TransferFailure> failure;
          if (e) failure = TransferFailure{500, e.message()};
          self->HandleFrameCb(buffer.get(), failure, done);
        });
  } catch (const std::exception& e) {
    HandleFrameCb(buffer.get(), TransferFailure{500, e.what()}, done);
  }
}

void HttpSendHelper::HandleFrameCb(const Orbi::Transport::FrameBuffer* buffer,
                                   std::optional<TransferFailure> failure,
                                   const Orbi::Transport::FrameCb& done) {
  done(EndFrame(buffer, failure));
}

}  // namespace TarnOrbi
