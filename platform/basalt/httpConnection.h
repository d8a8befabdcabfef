// One accepted HTTP/1.1 connection of the HTTP service: reads requests one after another, hands
// each to the request handler as a Request/Response pair and writes their answers. Everything
// touching the socket runs on the connection's loop, which one thread runs: that thread is what
// serializes the connection's work, and the only one to touch its phase and exchange state.
// Internal to the HTTP service.
#pragma once

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "platform/basalt/httpBodyBudget.h"
#include "platform/basalt/httpDeadlines.h"
#include "platform/basalt/httpEvictionQueue.h"
#include "platform/basalt/httpExchange.h"
#include "platform/basalt/httpRequest.h"
#include "platform/basalt/httpRequestHandler.h"
#include "platform/basalt/httpRequestHead.h"
#include "platform/basalt/httpSettings.h"
#include "platform/basalt/logger.h"
#include "platform/basalt/peerCredentials.h"
#include "platform/basalt/tcpServerSocket.h"

namespace Basalt::Http {

// What a service shares with its connections; outlives the service while connections remain.
struct HttpServiceContext {
  std::shared_ptr<Service::Logger> logger;
  ResponseHeaderDefinitions headers;
  HttpLimits limits;
  // Open connections: counted from construction until the socket is closed or the connection is
  // picked to give way (a closed connection may live on until a pending call answers, but holds
  // no descriptor).
  std::atomic<size_t> connections{0};
  std::atomic<uint64_t> evicted{0};  // closed at the bound for a newcomer
  std::atomic<uint64_t> refused{0};  // newcomers closed at the bound
  std::shared_ptr<BodyBudget> bodyBudget;
  EvictionQueue queue;

  // Sets `handler` to the current handler unless `seen`, the version the caller holds, is
  // still current. While the handler stays the same, this takes no lock and writes nothing
  // shared, so connections on different threads do not contend for it.
  void RefreshHandler(std::shared_ptr<RequestHandlerMixin>& handler, uint64_t& seen);
  void SetHandler(std::shared_ptr<RequestHandlerMixin> handler);

 private:
  std::mutex mutex_;  // guards handler_
  std::shared_ptr<RequestHandlerMixin> handler_;
  std::atomic<uint64_t> handlerVersion_{0};  // how often SetHandler was called
};

class HttpConnection final : public ExchangeChannel,
                             public std::enable_shared_from_this<HttpConnection> {
 public:
  // Counted in context->connections from construction until it closes.
  HttpConnection(System::ConnectionSocket socket, std::shared_ptr<HttpServiceContext> context);
  ~HttpConnection() override;

  // Called once, on the accepting thread.
  void Start();

  // Closes the connection, picked by the queue to give way: what it reads or writes then fails,
  // and an answer still to come goes nowhere. It leaves context->connections at once, so that a
  // busy loop, slow to close it, cannot make later newcomers take further slots. Thread-safe.
  void Evict();

  // ExchangeChannel, for the exchange objects.
  void ReadBody(uint64_t exchange, std::shared_ptr<Request> request, void* data, size_t size,
                Request::ReadDone done) override;
  void Send(uint64_t exchange, std::shared_ptr<AnswerMessage> answer,
            std::function<void(const std::error_code&)> done) override;
  bool IsLoopRunning() const override;
  std::shared_ptr<const System::ConnectionPeer> GetPeer() override {
    return {shared_from_this(), &peer_};
  }

 private:
  // The next read ends by `deadline`, or sooner when no byte comes for the idle timeout.
  void ExpectRead(std::chrono::steady_clock::time_point deadline);
  // The next write ends within the idle timeout.
  void ExpectWrite();
  // A read or write outlasted its deadline: the socket closes and pending operations end.
  void OnDeadline();
  // What a socket operation ended with: a timeout once a deadline has passed.
  boost::system::error_code Ended(const boost::system::error_code& error) const;
  void ReadHeader();
  void ParseHeader();
  void OnHeader(const boost::system::error_code& error);
  void Dispatch();
  void ReadBodyOnLoop(uint64_t exchange, std::shared_ptr<Request> request, void* data, size_t size,
                      Request::ReadDone done);
  // Reserves the body's share of the budget at its first read; false while that is pending.
  bool Admit(uint64_t exchange, std::shared_ptr<Request>& request, void* data, size_t size,
             Request::ReadDone& done);
  void ReadSome(std::shared_ptr<Request> request, size_t size, Request::ReadDone done);
  void SendOnLoop(uint64_t exchange, std::shared_ptr<AnswerMessage> answer,
                  std::function<void(const std::error_code&)> done);
  template <class Handler>
  void WriteAnswer(const AnswerMessage& answer, bool keepAlive, Handler handler);
  void AnswerMalformed(int status);
  // Logs a line that the peer's traffic causes, held for the peer's host user so that it comes
  // out of that caller's log budget (StandardErrorSink).
  template <class... Args>
  void LogForPeer(int level, std::string_view pattern, const Args&... args);
  void Close();
  // Leaves context->connections, once.
  void Uncount();
  // Runs `fn` at once on the loop's thread; from any other thread posts it there, keeping the
  // connection alive until it has run.
  template <class Fn>
  void OnLoop(Fn fn);
  template <class Fn>
  void Complete(Fn fn);

  // Where the connection is in serving requests, in the order one exchange goes through them.
  enum class Phase : uint8_t {
    kAwaitingRequest,  // no byte of the next request yet
    kReadingHeader,    // the request's line and headers are arriving
    kServing,          // the handler holds the request; it may read the body
    kAnswering,        // the answer is written or being written
    kClosed,           // the socket is closed; nothing more is read or written
  };
  // How far the current request's body is taken.
  enum class BodyRead : uint8_t {
    kUnadmitted,    // not yet asked for
    kAwaitingRoom,  // a large body waits for its share of the body budget
    kAdmitted,      // may be read; no read in progress
    kReading,       // a read is in progress
  };
  // What belongs to one request; a new exchange starts from a default one.
  struct ExchangeState {
    size_t headerBytes = 0;  // of the line and headers, parsed so far
    BodyRead body = BodyRead::kUnadmitted;
    bool continueDue = false;             // the request awaits "100 Continue" before its body
    bool continueWriting = false;         // "100 Continue" is being written
    std::function<void()> afterContinue;  // writes the answer, held until then
    std::chrono::steady_clock::time_point headerDeadline;
    std::chrono::steady_clock::time_point bodyDeadline;
    BodyBudget::Reservation reservation;
  };

  static bool IsAllowed(Phase from, Phase to);
  // Moves to `next`; in debug builds, a move the connection never makes aborts.
  void Enter(Phase next);
  // `exchange` is the one being served and the connection is open.
  bool Serves(uint64_t exchange) const { return exchange == exchange_ && phase_ != Phase::kClosed; }
  // A body read is in progress or waits for room.
  bool BodyReadPending() const {
    return state_.body == BodyRead::kAwaitingRoom || state_.body == BodyRead::kReading;
  }

  boost::asio::io_context& ioContext_;
  System::ConnectionSocket socket_;
  System::ConnectionPeer peer_;
  OperationDeadlines deadlines_;
  bool timedOut_ = false;  // a deadline closed the socket
  std::shared_ptr<HttpServiceContext> context_;
  std::shared_ptr<RequestHandlerMixin> handler_;  // the context's, as of handlerVersion_
  uint64_t handlerVersion_ = 0;
  boost::beast::flat_buffer buffer_;
  std::optional<RequestParser> parser_;
  std::string answerHead_;  // of the answer being written; its capacity serves the next one
  Phase phase_ = Phase::kAwaitingRequest;
  uint64_t exchange_ = 1;  // the request being served
  ExchangeState state_;
  EvictionQueue::Entry queueEntry_;     // guarded by the service's queue, not by the loop
  std::atomic<bool> uncounted_{false};  // has left context->connections
};

}  // namespace Basalt::Http
