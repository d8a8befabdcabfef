#include "platform/basalt/httpConnection.h"

#include <array>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/read_size.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <cassert>
#include <limits>

#include "platform/basalt/coarseClock.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/httpAnswerHead.h"
#include "platform/basalt/httpExchange.h"
#include "platform/basalt/httpFraming.h"
#include "platform/basalt/httpHostCheck.h"
#include "platform/basalt/httpStatus.h"
#include "platform/basalt/secretText.h"

namespace Basalt::Http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;

namespace {

// Room for the headers plus what one socket read brings of the body.
constexpr size_t kReadBufferLimit = 64 * 1024;
// Beast reads only into the capacity the buffer already has; without this, body reads would
// come in pieces of 512 bytes.
constexpr size_t kReadBufferReserve = 8 * 1024;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

Method ToMethod(http::verb verb) {
  switch (verb) {
    case http::verb::get:
      return Method::GET;
    case http::verb::head:
      return Method::HEAD;
    case http::verb::post:
      return Method::POST;
    case http::verb::put:
      return Method::PUT;
    case http::verb::delete_:
      return Method::DELETE_;
    case http::verb::trace:
      return Method::TRACE;
    case http::verb::options:
      return Method::OPTIONS;
    case http::verb::connect:
      return Method::CONNECT;
    case http::verb::patch:
      return Method::PATCH;
    default:
      return Method::UNKNOWN;
  }
}

bool IsQuietEnd(const boost::system::error_code& error) {
  return error == http::error::end_of_stream || error == beast::error::timeout ||
         error == asio::error::eof || error == asio::error::connection_reset ||
         error == asio::error::operation_aborted;
}

bool IsParseError(const boost::system::error_code& error) {
  return error.category() == http::make_error_code(http::error::bad_method).category();
}

}  // namespace

void HttpServiceContext::RefreshHandler(std::shared_ptr<RequestHandlerMixin>& handler,
                                        uint64_t& seen) {
  if (handlerVersion_.load(std::memory_order_acquire) == seen) return;
  std::lock_guard lock(mutex_);
  handler = handler_;
  seen = handlerVersion_.load(std::memory_order_relaxed);
}

void HttpServiceContext::SetHandler(std::shared_ptr<RequestHandlerMixin> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
  handlerVersion_.fetch_add(1, std::memory_order_release);
}

HttpConnection::HttpConnection(System::ConnectionSocket socket,
                               std::shared_ptr<HttpServiceContext> context)
    : ioContext_(socket.get_executor().context()),
      socket_(std::move(socket)),
      peer_(socket_),
      deadlines_(socket_.get_executor()),
      context_(std::move(context)),
      buffer_(kReadBufferLimit) {
  context_->connections.fetch_add(1);
  buffer_.reserve(kReadBufferReserve);
}

HttpConnection::~HttpConnection() {
  context_->queue.Remove(queueEntry_);
  Uncount();
}

void HttpConnection::Uncount() {
  if (!uncounted_.exchange(true)) context_->connections.fetch_sub(1);
}

void HttpConnection::Evict() {
  Uncount();
  // Closed even if it has moved on since it was picked: its slot went to the newcomer, and the
  // queue no longer holds it.
  asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Close(); });
}

void HttpConnection::ExpectRead(std::chrono::steady_clock::time_point deadline) {
  deadlines_.SetRead(std::min(deadline, System::CoarseSteadyNow() + context_->limits.idleTimeout));
}

void HttpConnection::ExpectWrite() {
  deadlines_.SetWrite(System::CoarseSteadyNow() + context_->limits.idleTimeout);
}

// The handlers of the pending operations see the timeout and close as for any failure.
void HttpConnection::OnDeadline() {
  timedOut_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);
}

boost::system::error_code HttpConnection::Ended(const boost::system::error_code& error) const {
  return timedOut_ ? beast::error::timeout : error;
}

bool HttpConnection::IsLoopRunning() const { return !ioContext_.stopped(); }

// Every move a connection makes; any phase may close.
bool HttpConnection::IsAllowed(Phase from, Phase to) {
  if (from == Phase::kClosed) return false;
  if (to == Phase::kClosed) return true;
  switch (from) {
    case Phase::kAwaitingRequest:
      return to == Phase::kReadingHeader;
    case Phase::kReadingHeader:
      return to == Phase::kServing || to == Phase::kAnswering;  // refused before dispatch
    case Phase::kServing:
      return to == Phase::kAnswering;
    case Phase::kAnswering:
      return to == Phase::kAwaitingRequest;  // kept alive
    case Phase::kClosed:
      break;
  }
  return false;
}

void HttpConnection::Enter(Phase next) {
  assert(IsAllowed(phase_, next) && "a connection phase the connection never moves to");
  phase_ = next;
}

void HttpConnection::Start() {
  // Queued at once: while its loop is busy, a newcomer is already a connection that can give way.
  queueEntry_.connection = weak_from_this();
  context_->queue.Enqueue(queueEntry_);
  asio::dispatch(socket_.get_executor(), [self = shared_from_this()] {
    if (self->phase_ == Phase::kClosed) return;  // evicted already
    self->deadlines_.Bind(self, [connection = self.get()] { connection->OnDeadline(); });
    self->ReadHeader();
  });
}

template <class Fn>
void HttpConnection::OnLoop(Fn fn) {
  if (socket_.get_executor().running_in_this_thread()) {
    fn();
    return;
  }
  asio::post(socket_.get_executor(),
             [self = shared_from_this(), fn = std::move(fn)]() mutable { fn(); });
}

// Completions handed to callers always go through the loop's queue, never inline.
template <class Fn>
void HttpConnection::Complete(Fn fn) {
  asio::post(socket_.get_executor(), std::move(fn));
}

// Any local user can open connections and send malformed requests as fast as it likes: the lines
// that causes are its own, not the daemon's.
template <class... Args>
void HttpConnection::LogForPeer(int level, std::string_view pattern, const Args&... args) {
  if (!context_->logger->IsEnabled(level)) return;
  const Service::CallerUidFn caller = [this] { return peer_.Uid(); };
  const Service::HeldLogLines held(caller);
  context_->logger->Log(level, pattern, args...);
}

void HttpConnection::ReadHeader() {
  // The first exchange is the one the connection was queued for.
  if (phase_ == Phase::kAnswering) {
    Enter(Phase::kAwaitingRequest);
    ++exchange_;
    state_ = {};
  }
  parser_.emplace();
  parser_->header_limit(static_cast<uint32_t>(context_->limits.headerLimit));
  // The request handler decides how much body it takes. Not boost::none: Beast 1.74 compares a
  // Content-Length against an empty limit as if the limit were exceeded.
  parser_->body_limit(std::numeric_limits<uint64_t>::max());
  context_->queue.Enqueue(queueEntry_);
  ParseHeader();
}

// Beast's own header limit holds for what one parse step sees, and a step consumes every
// complete line: the limit is narrowed here by what earlier steps consumed, so it holds for the
// request line and all headers together.
void HttpConnection::ParseHeader() {
  if (buffer_.size() > 0) {
    if (phase_ == Phase::kAwaitingRequest) {
      Enter(Phase::kReadingHeader);
      state_.headerDeadline = System::CoarseSteadyNow() + context_->limits.headerTimeout;
    }
    boost::system::error_code error;
    size_t used = parser_->put(buffer_.data(), error);
    buffer_.consume(used);
    state_.headerBytes += used;
    if (!error && parser_->is_header_done()) {
      OnHeader({});
      return;
    }
    if (error != http::error::need_more) {
      OnHeader(error ? error : http::error::bad_version);
      return;
    }
    if (state_.headerBytes >= context_->limits.headerLimit) {
      OnHeader(http::error::header_limit);
      return;
    }
    parser_->header_limit(static_cast<uint32_t>(context_->limits.headerLimit - state_.headerBytes));
  }
  size_t room = beast::read_size(buffer_, kReadBufferLimit);
  if (room == 0) {
    OnHeader(http::error::header_limit);
    return;
  }
  ExpectRead(phase_ == Phase::kReadingHeader ? state_.headerDeadline
                                             : std::chrono::steady_clock::time_point::max());
  socket_.async_read_some(buffer_.prepare(room),
                          [self = shared_from_this()](boost::system::error_code error, size_t n) {
                            self->deadlines_.ClearRead();
                            error = self->Ended(error);
                            if (error) {
                              // An end inside a request is an incomplete request, not a quiet
                              // goodbye.
                              if (error == asio::error::eof && self->parser_->got_some())
                                error = http::error::partial_message;
                              self->OnHeader(error);
                              return;
                            }
                            self->buffer_.commit(n);
                            self->ParseHeader();
                          });
}

void HttpConnection::OnHeader(const boost::system::error_code& error) {
  if (phase_ == Phase::kClosed) return;
  context_->queue.MarkServing(queueEntry_);
  if (!error) {
    if (int status = FramingRefusal(parser_->Head())) {
      LogForPeer(4, "Malformed request: body framing refused (%1)", status);
      AnswerMalformed(status);
      return;
    }
    if (auto refusal = CheckHost(parser_->Head()); refusal.status) {
      LogForPeer(4, "Request refused (%1): %2 (Host '%3')", refusal.status, refusal.why,
                 parser_->Head().Find(http::field::host).value_or(""));
      AnswerMalformed(refusal.status);
      return;
    }
    Dispatch();
    return;
  }
  if (IsQuietEnd(error) || !IsParseError(error) || error == http::error::partial_message) {
    context_->logger->Log(7, "Connection closed while waiting for a request: %1", error.message());
    Close();
    return;
  }
  LogForPeer(4, "Malformed request: %1", error.message());
  AnswerMalformed(error == http::error::header_limit ? 431 : 400);
}

void HttpConnection::Dispatch() {
  Enter(Phase::kServing);
  if (parser_->is_done()) context_->queue.MarkComplete(queueEntry_);  // no body
  const RequestHead& head = parser_->Head();
  Method method = ToMethod(head.Method());
  if (context_->logger->IsEnabled(7)) {
    // A query may carry a credential some client put there; only its size is written.
    const std::string_view text = head.Target();
    const size_t query = text.find('?');
    context_->logger->Log(7, "%1 %2", MethodName(method),
                          query == std::string_view::npos
                              ? std::string(text)
                              : std::string(text.substr(0, query + 1)) +
                                    Service::ShortenedSecret(text.substr(query + 1)));
  }
  auto expect = head.Find(http::field::expect);
  state_.continueDue =
      expect && head.Version() >= 11 &&
      beast::iequals(beast::string_view(expect->data(), expect->size()), "100-continue");
  // The parser needs no header to read the body: the request takes it over.
  auto self = shared_from_this();
  auto request = std::make_shared<ExchangeRequest>(self, exchange_, method, parser_->TakeHead());
  auto response = std::make_shared<ExchangeResponse>(self, exchange_);

  context_->RefreshHandler(handler_, handlerVersion_);
  if (!handler_) handler_ = std::make_shared<RequestHandlerMixin>();
  RequestHandlerMixin* handler = handler_.get();  // the connection holds it
  // What the handler logs while it takes the request in (a missing Accept, say) is the peer's.
  const Service::CallerUidFn caller = [this] { return peer_.Uid(); };
  const Service::HeldLogLines held(caller);
  try {
    switch (method) {
      case Method::POST:
        handler->HandlePost(std::move(request), response);
        break;
      case Method::GET:
        handler->HandleGet(std::move(request), response);
        break;
      case Method::HEAD:
        handler->HandleHead(std::move(request), response);
        break;
      case Method::PUT:
        handler->HandlePut(std::move(request), response);
        break;
      case Method::DELETE_:
        handler->HandleDelete(std::move(request), response);
        break;
      default:
        AnswerMethodNotAllowed(*response, handler->AllowedMethods());
        break;
    }
  } catch (const std::exception& e) {
    LogForPeer(3, "Request handler failed: %1", e.what());
    response->Answer(500, ReasonText(500));
  }
}

void HttpConnection::ReadBody(uint64_t exchange, std::shared_ptr<Request> request, void* data,
                              size_t size, Request::ReadDone done) {
  OnLoop(
      [this, exchange, request = std::move(request), data, size, done = std::move(done)]() mutable {
        ReadBodyOnLoop(exchange, std::move(request), data, size, std::move(done));
      });
}

void HttpConnection::ReadBodyOnLoop(uint64_t exchange, std::shared_ptr<Request> request, void* data,
                                    size_t size, Request::ReadDone done) {
  std::error_code refusal;
  if (!Serves(exchange)) {
    refusal = make_error_code(asio::error::operation_aborted);
  } else if (BodyReadPending()) {
    refusal = make_error_code(asio::error::already_started);
  } else if (size == 0 || data == nullptr) {
    refusal = make_error_code(asio::error::invalid_argument);
  }
  if (refusal || parser_->is_done()) {
    Complete([request = std::move(request), done = std::move(done), refusal] {
      done(request, refusal, 0);
    });
    return;
  }
  if (state_.body == BodyRead::kUnadmitted && !Admit(exchange, request, data, size, done)) return;
  state_.body = BodyRead::kReading;
  parser_->Body() = {data, size};

  if (state_.continueDue) {
    state_.continueDue = false;
    state_.continueWriting = true;
    ExpectWrite();
    asio::async_write(
        socket_, asio::buffer(kContinue.data(), kContinue.size()),
        [self = shared_from_this(), request = std::move(request), size, done = std::move(done)](
            const boost::system::error_code& written, size_t) mutable {
          self->deadlines_.ClearWrite();
          self->state_.continueWriting = false;
          std::function<void()> answer;
          answer.swap(self->state_.afterContinue);
          auto error = self->Ended(written);
          if (error) {
            self->state_.body = BodyRead::kAdmitted;
            self->Close();
            done(request, error, 0);
          } else {
            self->ReadSome(std::move(request), size, std::move(done));
          }
          if (answer) answer();
        });
    return;
  }
  ReadSome(std::move(request), size, std::move(done));
}

bool HttpConnection::Admit(uint64_t exchange, std::shared_ptr<Request>& request, void* data,
                           size_t size, Request::ReadDone& done) {
  const auto& limits = context_->limits;
  auto length = parser_->content_length();
  size_t need =
      length ? static_cast<size_t>(std::min<uint64_t>(*length, limits.maxBody)) : limits.maxBody;
  if (need <= limits.smallBody) {
    state_.body = BodyRead::kAdmitted;
    state_.bodyDeadline = System::CoarseSteadyNow() + limits.bodyTimeout;
    return true;
  }
  state_.body = BodyRead::kAwaitingRoom;  // no other read while waiting
  context_->bodyBudget->Reserve(
      need, peer_.Uid(),
      [self = shared_from_this(), exchange, request = std::move(request), data, size,
       done = std::move(done)](BodyBudget::Reservation reservation) mutable {
        asio::post(self->socket_.get_executor(), [self, exchange, request = std::move(request),
                                                  data, size, done = std::move(done),
                                                  reservation = std::move(reservation)]() mutable {
          if (self->Serves(exchange)) {
            auto& state = self->state_;
            state.body = BodyRead::kAdmitted;
            state.reservation = std::move(reservation);
            state.bodyDeadline = System::CoarseSteadyNow() + self->context_->limits.bodyTimeout;
          }
          self->ReadBodyOnLoop(exchange, std::move(request), data, size, std::move(done));
        });
      });
  return false;
}

void HttpConnection::ReadSome(std::shared_ptr<Request> request, size_t size,
                              Request::ReadDone done) {
  ExpectRead(state_.bodyDeadline);
  http::async_read_some(socket_, buffer_, *parser_,
                        [self = shared_from_this(), request = std::move(request), size,
                         done = std::move(done)](boost::system::error_code error, size_t) mutable {
                          self->deadlines_.ClearRead();
                          error = self->Ended(error);
                          if (error == http::error::need_buffer) error = {};
                          size_t n = size - self->parser_->Body().size;
                          // A read may consume only framing (a chunk header); the caller wants
                          // bytes or the end.
                          const bool closed = self->phase_ == Phase::kClosed;
                          if (!error && n == 0 && !self->parser_->is_done() && !closed) {
                            self->ReadSome(std::move(request), size, std::move(done));
                            return;
                          }
                          self->parser_->Body() = {};
                          self->state_.body = BodyRead::kAdmitted;
                          if (!error && self->parser_->is_done()) {
                            self->context_->queue.MarkComplete(self->queueEntry_);
                          }
                          // A connection closed here (to let a newcomer in) is not news.
                          if (error && !closed) {
                            self->LogForPeer(4, "Reading a request body failed: %1",
                                             error.message());
                            // A malformed body still lets the handler answer; the answer closes.
                            if (!IsParseError(error)) self->Close();
                          }
                          done(request, error, n);
                        });
}

void HttpConnection::Send(uint64_t exchange, std::shared_ptr<AnswerMessage> answer,
                          std::function<void(const std::error_code&)> done) {
  // The lines this thread holds (HeldLogLines) go out before the answer: whoever reads the answer
  // finds in the log what led to it.
  Service::FlushHeldLogLines();
  OnLoop([this, exchange, answer = std::move(answer), done = std::move(done)]() mutable {
    SendOnLoop(exchange, std::move(answer), std::move(done));
  });
}

void HttpConnection::SendOnLoop(uint64_t exchange, std::shared_ptr<AnswerMessage> answer,
                                std::function<void(const std::error_code&)> done) {
  if (!answer || !Serves(exchange) || phase_ != Phase::kServing) {
    if (done) {
      auto error = phase_ == Phase::kClosed ? make_error_code(asio::error::not_connected)
                                            : make_error_code(asio::error::already_started);
      Complete([done = std::move(done), error] { done(error); });
    }
    return;
  }
  Enter(Phase::kAnswering);
  state_.continueDue = false;  // a read after the answer must not write the interim one into it
  // An unread rest of the body is never read: the connection ends with this answer.
  bool keepAlive = parser_->keep_alive() && parser_->is_done() && !BodyReadPending();
  if (IsBodiless(answer->status)) answer->body.clear();
  // Called once: what it holds moves on to the write's handler.
  auto write = [self = shared_from_this(), answer = std::move(answer), keepAlive,
                done = std::move(done)]() mutable {
    auto& connection = *self;
    const AnswerMessage& message = *answer;
    connection.WriteAnswer(
        message, keepAlive,
        [self = std::move(self), answer = std::move(answer), keepAlive, done = std::move(done)](
            const boost::system::error_code& written, size_t) {
          self->deadlines_.ClearWrite();
          auto error = self->Ended(written);
          if (error) {
            self->LogForPeer(4, "Writing an answer failed: %1", error.message());
          }
          // Closed while the write completed: an eviction that came too late to cancel it.
          if (error || !keepAlive || self->phase_ == Phase::kClosed) {
            self->Close();
          } else {
            self->ReadHeader();
          }
          if (done) done(error);
        });
  };
  // One write at a time on the socket: the answer waits for "100 Continue" to be written.
  if (state_.continueWriting) {
    state_.afterContinue = std::move(write);
    return;
  }
  write();
}

// The head goes with the body in one gathered write; the handler keeps the answer alive.
template <class Handler>
void HttpConnection::WriteAnswer(const AnswerMessage& answer, bool keepAlive, Handler handler) {
  assert(!state_.continueWriting && "a second write on the socket");
  FormatAnswerHead(answer, context_->headers, keepAlive, answerHead_);
  ExpectWrite();
  std::array<asio::const_buffer, 2> parts{asio::buffer(answerHead_), asio::buffer(answer.body)};
  asio::async_write(socket_, parts, std::move(handler));
}

void HttpConnection::AnswerMalformed(int status) {
  auto answer = std::make_shared<AnswerMessage>();
  answer->status = static_cast<unsigned>(status);
  answer->reason = ReasonText(status);
  Enter(Phase::kAnswering);
  WriteAnswer(*answer, false,
              [self = shared_from_this(), answer](const boost::system::error_code&, size_t) {
                self->deadlines_.ClearWrite();
                self->Close();
              });
}

void HttpConnection::Close() {
  if (phase_ == Phase::kClosed) return;
  Enter(Phase::kClosed);
  context_->queue.Remove(queueEntry_);
  Uncount();
  state_.reservation = {};
  boost::system::error_code ignored;
  deadlines_.Cancel();
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

}  // namespace Basalt::Http
