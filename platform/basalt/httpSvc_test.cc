// The HTTP service: request heads parsed piece by piece and answer heads formatted as Beast
// would, then whole exchanges over loopback, eviction at the connection bound, the body budget.
#include "platform/basalt/httpSvc.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "platform/basalt/app.h"
#include "platform/basalt/httpAnswerHead.h"
#include "platform/basalt/httpBodyBudget.h"
#include "platform/basalt/httpConnection.h"
#include "platform/basalt/httpRequestHead.h"
#include "platform/basalt/httpStatus.h"
#include "platform/basalt/systemFactory.h"
#include "platform/basalt/testing/temporaryHostRoot.h"

namespace Basalt::Http {
namespace {

using namespace std::chrono_literals;

namespace http = boost::beast::http;

// Feeds `text` to the parser the way the connection does: the head is taken once complete, and
// the body read through a buffer of `room` bytes drained after every step.
std::string Parse(RequestParser& parser, RequestHead& head, std::string_view text, size_t room) {
  std::string body;
  std::string buffer(room, '\0');
  while (!parser.is_done()) {
    if (parser.is_header_done() && head.Size() == 0) head = parser.TakeHead();
    parser.Body() = {buffer.data(), buffer.size()};
    boost::beast::error_code error;
    size_t used = parser.put(boost::asio::buffer(text.data(), text.size()), error);
    text.remove_prefix(used);
    body.append(buffer.data(), buffer.size() - parser.Body().size);
    if (error && error != http::error::need_buffer) {
      ADD_FAILURE() << error.message();
      break;
    }
  }
  return body;
}

TEST(RequestParser, KeepsTheHeadAndCopiesTheBodyPieceByPiece) {
  for (size_t room : {1u, 3u, 64u}) {
    SCOPED_TRACE(room);
    RequestParser parser;
    parser.body_limit(1024);
    RequestHead head;
    std::string body = Parse(parser, head,
                             "POST /api?x=1 HTTP/1.1\r\nHost: localhost\r\nX-Twice: a\r\n"
                             "x-twice: b\r\nTransfer-Encoding: chunked\r\n\r\n"
                             "5\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n",
                             room);
    EXPECT_EQ(body, "hello world");
    EXPECT_EQ(head.Method(), http::verb::post);
    EXPECT_EQ(head.Target(), "/api?x=1");
    EXPECT_EQ(head.Version(), 11u);
    EXPECT_EQ(head.Size(), 4u);
    EXPECT_EQ(head.Find(http::field::host), "localhost");
    EXPECT_EQ(head.Find("X-TWICE"), "a");  // the first, by name without case
    EXPECT_EQ(head.Count(http::field::unknown), 2u);
    EXPECT_EQ(head[3].name, "Transfer-Encoding");
    EXPECT_FALSE(head.Find("X-Trailer"));  // came after the head was handed over
    EXPECT_FALSE(head.Find(http::field::origin));
  }
}

// What Beast writes for the same answer, built the way a Beast server would build it.
std::string BeastHead(const AnswerMessage& answer, const ResponseHeaderDefinitions& defaults,
                      bool keepAlive) {
  http::response<http::string_body> message(static_cast<http::status>(answer.status), 11);
  if (!answer.reason.empty()) message.reason(answer.reason);
  for (const auto& [name, value] : answer.headers) message.set(name, value);
  for (const auto& [name, value] : defaults) {
    if (message.find(name) == message.end()) message.set(name, value);
  }
  message.body() = answer.body;
  message.keep_alive(keepAlive);
  message.prepare_payload();
  // Beast writes "Content-Length: 0" even where HTTP forbids the field (a 204).
  if (IsBodiless(answer.status)) message.erase(http::field::content_length);
  std::ostringstream text;
  text << message.base();
  return text.str();
}

TEST(FormatAnswerHead, WritesWhatBeastsSerializerWrites) {
  const ResponseHeaderDefinitions defaults{{"Cache-Control", "no-store"},
                                           {"X-Content-Type-Options", "nosniff"}};
  std::string out = "left over from an earlier answer";
  for (unsigned code : {200u, 204u, 405u, 431u, 599u}) {
    for (bool keepAlive : {true, false}) {
      SCOPED_TRACE(code);
      AnswerMessage answer;
      answer.status = code;
      if (code == 599) answer.reason = "Custom Reason";
      answer.Set("Content-Type", "application/json");
      answer.Set("allow", "POST");
      answer.Set("x-content-type-options", "handler's own");  // a default the handler replaced
      answer.Set("ALLOW", "POST, GET");                       // set again: replaced, moved last
      if (code != 204) answer.body = "{}";
      FormatAnswerHead(answer, defaults, keepAlive, out);
      EXPECT_EQ(out, BeastHead(answer, defaults, keepAlive));
    }
  }
}

using ClientResponse = http::response<http::string_body>;

// A blocking HTTP/1.1 client over loopback. Every step has a deadline, so a server that never
// answers fails a test instead of hanging it; answers are read by a strict parser, so a malformed
// answer fails too.
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
    if (Run([&](auto done) { http::async_read(stream_, buffer_, response, done); })) {
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

constexpr auto kBound = 10s;  // the longest any step may take before the test gives up

// Reads the whole body in pieces of at most 4,096 bytes, then calls `finish`.
struct BodyReader : std::enable_shared_from_this<BodyReader> {
  std::shared_ptr<Request> request;
  std::function<void(const std::error_code&, const std::string&, size_t largestPiece)> finish;
  std::string body;
  char piece[4096];
  size_t largestPiece = 0;

  void Next() {
    request->AsyncRead(piece, sizeof piece,
                       [self = shared_from_this()](std::shared_ptr<Request>,
                                                   const std::error_code& error, size_t n) {
                         if (error || n == 0) {
                           self->finish(error, self->body, self->largestPiece);
                           return;
                         }
                         self->largestPiece = std::max(self->largestPiece, n);
                         self->body.append(self->piece, n);
                         self->Next();
                       });
  }
};

// Serves POST by the test's function; every other method keeps the mix-in's answer.
class TestHandler : public RequestHandlerMixin {
 public:
  std::function<void(std::shared_ptr<Request>, std::shared_ptr<Response>)> onPost;
  std::atomic<int> posts{0};

  void HandlePost(std::shared_ptr<Request> request, std::shared_ptr<Response> response) override {
    ++posts;
    onPost(std::move(request), std::move(response));
  }
};

// Echoes "<size>:<body>" after reading the body, with the request's details in headers; a read
// that fails is told to `readFailed` and answered with a 500.
void EchoBody(std::shared_ptr<Request> request, std::shared_ptr<Response> response,
              std::function<void(const std::error_code&)> readFailed = nullptr) {
  auto reader = std::make_shared<BodyReader>();
  reader->request = request;
  reader->finish = [request, response, readFailed](const std::error_code& error,
                                                   const std::string& body, size_t largestPiece) {
    if (error) {
      if (readFailed) readFailed(error);
      response->Answer(500, ReasonText(500));
      return;
    }
    response->SetContentType("text/plain");
    response->SetHeader("X-Largest-Piece", std::to_string(largestPiece));
    response->SetHeader("X-Path", request->GetPath());
    response->SetHeader("X-Method", MethodName(request->GetMethod()));
    response->SetHeader("X-Split", "a\r\nInjected: yes");
    response->SetHeader("X-Content-Type",
                        std::string(request->GetHeader("content-TYPE").value_or("none")));
    std::string answer = std::to_string(body.size()) + ":" + body;
    response->AsyncWrite(answer, nullptr);
  };
  reader->Next();
}

// The future's value, or an empty one when the bound passes first.
template <typename T>
T Await(std::future<T> future) {
  return future.wait_for(kBound) == std::future_status::ready ? future.get() : T();
}

// Writes `data` from the test's own thread, as the API layer may do, and waits for its outcome.
std::error_code WriteError(Response& response, const std::string& data) {
  auto written = std::make_shared<std::promise<std::error_code>>();
  response.AsyncWrite(data, [written](std::shared_ptr<Response>, const std::error_code& error) {
    written->set_value(error);
  });
  return Await(written->get_future());
}

class HttpSvcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(root_.Path() / "config.xml")
        << "<config><http><threads>2</threads><idleTimeoutSeconds>1</idleTimeoutSeconds></http>"
           "<log><level>3</level></log></config>";
    Service::InitApp((root_.Path() / "config.xml").string());
    app_ = Service::GetApp();
    handler_ = std::make_shared<TestHandler>();
    handler_->onPost = [](auto request, auto response) { EchoBody(request, response); };
  }

  void StartService(HttpLimits limits = HttpLimits::FromAppConfig()) {
    socket_ = System::GetSystemFactory().CreateTCPServerSocket();
    socket_->Bind("localhost", 0);
    port_ = socket_->GetPort();
    svc_ = CreateHttpSvc(socket_, Service::Logger::CreateLogger("HttpSvcTest"),
                         GetDefaultResponseHeadersDefinitions(), limits);
    svc_->SetRequestHandler(handler_);
    svc_->Start();
    loop_ = std::async(std::launch::async, [app = app_] { app->Run(); });
  }

  void TearDown() override {
    app_->Stop();
    if (loop_.valid()) {
      ASSERT_EQ(loop_.wait_for(kBound), std::future_status::ready);
      loop_.get();
    }
    svc_.reset();
    socket_.reset();
  }

  static std::string Post(const std::string& body, const std::string& extraHeaders = "",
                          const std::string& path = "/api") {
    return "POST " + path + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n" +
           extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }

  Basalt::Testing::TemporaryHostRoot root_;
  std::shared_ptr<Service::App> app_;
  std::shared_ptr<TestHandler> handler_;
  std::shared_ptr<System::TCPServerSocket> socket_;
  std::shared_ptr<HttpSvc> svc_;
  std::future<void> loop_;
  uint16_t port_ = 0;
};

TEST_F(HttpSvcTest, OneKeptAliveConnectionServesEveryBodyFramingAndOnlyPost) {
  StartService();
  HttpTestClient client(port_);
  ASSERT_TRUE(client.IsConnected());
  std::string body(10000, 'x');
  body[0] = 'a';
  body[9999] = 'z';
  ASSERT_TRUE(client.Send(Post(body)));
  ClientResponse response = client.ReadResponse();
  EXPECT_EQ(response.result_int(), 200);
  EXPECT_EQ(response.body(), "10000:" + body);
  EXPECT_LE(std::stoul(std::string(response["X-Largest-Piece"])), 4096u);
  EXPECT_EQ(response["X-Path"], "/api");
  EXPECT_EQ(response["X-Method"], "POST");
  EXPECT_EQ(response["X-Content-Type"], "application/json");
  EXPECT_EQ(response["Content-Type"], "text/plain");
  EXPECT_EQ(response.count("X-Split") + response.count("Injected"), 0u);
  EXPECT_EQ(response["Cache-Control"], "no-store");
  EXPECT_EQ(response["X-Content-Type-Options"], "nosniff");

  const std::pair<std::string, std::string> framings[] = {
      {"POST /c HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n"
       "5\r\nhello\r\n1;ext=1\r\n \r\n5\r\nworld\r\n0\r\n\r\n",
       "11:hello world"},
      {Post(""), "0:"},
  };
  for (const auto& [request, answer] : framings) {
    ASSERT_TRUE(client.Send(request));
    EXPECT_EQ(client.ReadResponse().body(), answer);
  }
  // The body is sent only after the interim answer, as a careful client does.
  ASSERT_TRUE(
      client.Send("POST /e HTTP/1.1\r\nHost: localhost\r\nExpect: 100-continue\r\n"
                  "Content-Length: 3\r\n\r\n"));
  EXPECT_EQ(client.ReadResponse().result_int(), 100);
  ASSERT_TRUE(client.Send("abc"));
  EXPECT_EQ(client.ReadResponse().body(), "3:abc");

  for (const char* method : {"GET", "HEAD", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
    ASSERT_TRUE(client.Send(std::string(method) + " /api HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    response = client.ReadResponse();
    EXPECT_EQ(response.result_int(), 405) << method;
    EXPECT_EQ(response.reason(), "Method Not Allowed") << method;
    EXPECT_EQ(response["Allow"], "POST") << method;
    EXPECT_EQ(response["Cache-Control"], "no-store") << method;
  }
  EXPECT_EQ(handler_->posts.load(), 4);

  ASSERT_TRUE(client.Send(Post("last", "Connection: close\r\n")));
  EXPECT_EQ(client.ReadResponse().body(), "4:last");
  EXPECT_TRUE(client.WaitForClose());
}

// Each request is refused or answered before its body is read; the connection ends after it.
TEST_F(HttpSvcTest, RefusalsAndEarlyAnswersEndTheConnection) {
  handler_->onPost = [](std::shared_ptr<Request> request, std::shared_ptr<Response> response) {
    if (request->GetPath() == "/early") return response->Answer(400, ReasonText(400));
    EchoBody(request, response);
  };
  StartService();
  const std::pair<std::string, int> requests[] = {
      {"NOT HTTP AT ALL\r\n\r\n", 400},
      // A broken chunk reaches the handler as a read error; its answer ends the connection.
      {"POST /api HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: "
       "chunked\r\n\r\n3\r\nabc\r\nzz\r\n",
       500},
      {"POST /api HTTP/1.1\r\nX-Filler: " + std::string(20000, 'f') + "\r\n\r\n", 431},
      {"POST /early HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100000\r\n\r\nonly a little",
       400},
      // Addressed by another name, as a page after DNS rebinding would: its body is never read.
      {"POST /api HTTP/1.1\r\nHost: attacker.example\r\nContent-Length: 1\r\n\r\nx", 403},
  };
  for (const auto& [request, status] : requests) {
    SCOPED_TRACE(request.substr(0, 40));
    HttpTestClient client(port_);
    ASSERT_TRUE(client.Send(request));
    ClientResponse response = client.ReadResponse();
    EXPECT_EQ(response.result_int(), status);
    EXPECT_EQ(response.reason(), ReasonText(status));
    EXPECT_EQ(response["X-Content-Type-Options"], "nosniff");
    EXPECT_EQ(response.body(), "");
    EXPECT_EQ(response["Connection"], "close");
    EXPECT_TRUE(client.WaitForClose());
  }
  EXPECT_EQ(handler_->posts.load(), 2);
}

// The interim answer must not go out while the answer is being written, nor the answer while
// the interim one is: the answer is larger than the socket takes at once, so a write between its
// pieces would land inside its body.
TEST_F(HttpSvcTest, AnAnswerAndTheInterimOneAreWrittenOneAfterTheOther) {
  const std::string large(8 << 20, 'l');
  auto piece = std::make_shared<std::array<char, 16>>();
  handler_->onPost = [&large, piece](std::shared_ptr<Request> request,
                                     std::shared_ptr<Response> response) {
    auto read = [piece](std::shared_ptr<Request> request) {
      request->AsyncRead(piece->data(), piece->size(), [](auto, auto, auto) {});
    };
    if (request->GetPath() == "/answer-first") {
      response->AsyncWrite(large, nullptr);
      read(request);
    } else {
      read(request);
      response->AsyncWrite(large, nullptr);
    }
  };
  StartService();
  for (const char* path : {"/answer-first", "/read-first"}) {
    SCOPED_TRACE(path);
    HttpTestClient client(port_);
    ASSERT_TRUE(client.Send(std::string("POST ") + path +
                            " HTTP/1.1\r\nHost: localhost\r\nExpect: 100-continue\r\n"
                            "Content-Length: 3\r\n\r\n"));
    ClientResponse response = client.ReadResponse();
    if (response.result_int() == 100) response = client.ReadResponse();
    EXPECT_EQ(response.result_int(), 200);
    EXPECT_TRUE(response.body() == large);
    EXPECT_TRUE(client.WaitForClose());
  }
}

TEST_F(HttpSvcTest, IdleAndStalledConnectionsAreClosedByTheTimer) {
  std::promise<std::error_code> readError;
  handler_->onPost = [&readError](auto request, auto response) {
    EchoBody(request, response, [&readError](auto error) { readError.set_value(error); });
  };
  StartService();

  HttpTestClient idle(port_);
  ASSERT_TRUE(idle.IsConnected());
  EXPECT_TRUE(idle.WaitForClose());  // nothing sent: closed after the 1-second idle timeout

  // Served first: the timer, set for the first read, has to wait on for the later deadlines.
  HttpTestClient served(port_);
  ASSERT_TRUE(served.Send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  EXPECT_EQ(served.ReadResponse().result_int(), 405);
  EXPECT_TRUE(served.WaitForClose());

  HttpTestClient stalled(port_);
  ASSERT_TRUE(stalled.Send(Post(std::string(100, 'b')).substr(0, 120)));
  EXPECT_TRUE(Await(readError.get_future()));  // an error, not the bound's empty one
  EXPECT_TRUE(stalled.WaitForClose());
}

TEST_F(HttpSvcTest, SecondAnswerIsRefusedAndADisconnectedClientFailsTheWrite) {
  std::promise<std::shared_ptr<Response>> parked;
  handler_->onPost = [&parked](std::shared_ptr<Request>, std::shared_ptr<Response> response) {
    parked.set_value(response);
  };
  StartService();
  HttpTestClient client(port_);
  ASSERT_TRUE(client.Send(Post("")));
  auto response = Await(parked.get_future());
  ASSERT_TRUE(response);
  client.Reset();
  EXPECT_TRUE(WriteError(*response, std::string(64 * 1024, 'r')));
  EXPECT_TRUE(WriteError(*response, "x"));
}

// A handler that drops its response unanswered leaves the answer to the service: a 500.
TEST_F(HttpSvcTest, ASlowHandlerDoesNotStallOtherConnectionsAndAnUnansweredOneGets500) {
  std::promise<void> release;
  auto released = release.get_future().share();
  handler_->onPost = [released](std::shared_ptr<Request> request,
                                std::shared_ptr<Response> response) {
    if (request->GetPath() == "/silent") return;
    if (request->GetPath() == "/slow") released.wait_for(kBound);
    response->AsyncWrite("done", nullptr);
  };
  StartService();
  HttpTestClient slow(port_);
  ASSERT_TRUE(slow.Send(Post("", "", "/slow")));
  HttpTestClient quick(port_);
  ASSERT_TRUE(quick.Send(Post("")));
  EXPECT_EQ(quick.ReadResponse().body(), "done");
  ASSERT_TRUE(quick.Send(Post("", "", "/silent")));
  ClientResponse unanswered = quick.ReadResponse();
  EXPECT_EQ(unanswered.result_int(), 500);
  EXPECT_EQ(unanswered.reason(), "Internal Server Error");
  release.set_value();
  EXPECT_EQ(slow.ReadResponse().body(), "done");
}

TEST_F(HttpSvcTest, AtTheConnectionBoundIncompleteRequestsGiveWayFirstThenTheOldestCall) {
  HttpLimits limits = HttpLimits::FromAppConfig();
  EXPECT_EQ(limits.idleTimeout, std::chrono::seconds(1));
  limits.idleTimeout = std::chrono::seconds(30);
  limits.maxConnections = 2;
  std::promise<std::shared_ptr<Response>> parked[2];
  std::atomic<int> calls{0};
  handler_->onPost = [&](std::shared_ptr<Request>, std::shared_ptr<Response> response) {
    parked[calls++].set_value(response);
  };
  StartService(limits);
  HttpTestClient older(port_);
  ASSERT_TRUE(older.Send(Post("")));
  auto olderCall = Await(parked[0].get_future());
  ASSERT_TRUE(olderCall);
  HttpTestClient silent(port_);

  // The silent one came later but has sent nothing: it gives way before the call.
  HttpTestClient newer(port_);
  EXPECT_TRUE(silent.WaitForClose());
  ASSERT_TRUE(newer.Send(Post("")));
  auto newerCall = Await(parked[1].get_future());  // held: unanswered when let go, it is answered
  ASSERT_TRUE(newerCall);

  // Two calls in progress: the older gives way, and its late answer goes nowhere.
  HttpTestClient newcomer(port_);
  ASSERT_TRUE(newcomer.Send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  EXPECT_EQ(newcomer.ReadResponse().result_int(), 405);
  EXPECT_TRUE(older.WaitForClose());
  EXPECT_TRUE(WriteError(*olderCall, "late"));

  auto counts = svc_->GetConnectionCounts();
  EXPECT_EQ(counts.evicted, 2u);
  EXPECT_EQ(counts.refused, 0u);
  EXPECT_LE(counts.open, 2u);
}

// The connection's own loop queues it again when it starts reading, which may come after the
// acceptor has picked it: picked once, it must not give way a second time, for that frees no slot.
TEST_F(HttpSvcTest, AConnectionPickedToGiveWayIsNotHandedOutAgain) {
  boost::asio::io_context loop;
  boost::asio::ip::tcp::acceptor acceptor(loop, {boost::asio::ip::address_v4::loopback(), 0});
  System::ConnectionSocket client(loop.get_executor());
  System::ConnectionSocket served(loop.get_executor());
  client.connect(acceptor.local_endpoint());
  acceptor.accept(served);
  auto context = std::make_shared<HttpServiceContext>();
  context->logger = Service::Logger::CreateLogger("HttpSvcTest");
  context->bodyBudget = std::make_shared<BodyBudget>(context->limits.bodyBudget, [] {});

  auto connection = std::make_shared<HttpConnection>(std::move(served), context);
  connection->Start();  // queued; its loop has not run yet
  auto picked = context->queue.TakeOldest();
  ASSERT_EQ(picked.connection, connection);
  picked.connection->Evict();
  EXPECT_EQ(context->connections.load(), 0u);
  picked = {};
  ASSERT_EQ(loop.run_one(), 1u);  // the loop starts it, before the eviction reaches it
  EXPECT_FALSE(context->queue.TakeOldest().connection);
  loop.poll();
  EXPECT_EQ(context->connections.load(), 0u);
}

// Records admissions; each admitted reservation is kept until the test drops it.
struct Admissions {
  std::vector<std::optional<BodyBudget::Reservation>> held{8};

  BodyBudget::AdmittedFn For(size_t slot) {
    return
        [this, slot](BodyBudget::Reservation reservation) { held[slot] = std::move(reservation); };
  }
  bool Admitted(size_t slot) const { return held[slot].has_value(); }
};

TEST(BodyBudgetTest, AdmitsInOrderWhatFitsAndLargeBodiesAlone) {
  int drained = 0;
  auto budget = std::make_shared<BodyBudget>(100, [&drained] { ++drained; });
  Admissions a;
  budget->Reserve(60, 1, a.For(0));
  budget->Reserve(50, 1, a.For(1));   // does not fit beside the first
  budget->Reserve(10, 2, a.For(2));   // would fit, but waits behind the earlier one
  budget->Reserve(500, 1, a.For(3));  // larger than the budget: goes alone
  EXPECT_TRUE(a.Admitted(0));
  EXPECT_FALSE(a.Admitted(1));
  EXPECT_FALSE(a.Admitted(2));

  a.held[0].reset();
  EXPECT_TRUE(a.Admitted(1));
  EXPECT_TRUE(a.Admitted(2));
  EXPECT_FALSE(a.Admitted(3));

  a.held[1].reset();
  EXPECT_FALSE(a.Admitted(3));
  a.held[2].reset();
  EXPECT_TRUE(a.Admitted(3));

  // A moved reservation releases once, when its last holder goes.
  BodyBudget::Reservation moved = std::move(*a.held[3]);
  a.held[3].reset();
  budget->Reserve(100, std::nullopt, a.For(4));
  EXPECT_FALSE(a.Admitted(4));
  moved = {};
  EXPECT_TRUE(a.Admitted(4));
  EXPECT_EQ(drained, 0);
  a.held[4].reset();
  EXPECT_EQ(drained, 1);
}

// A host user that holds its share waits without holding back the others, who keep room for
// the largest body.
TEST(BodyBudgetTest, OneOwnerHoldsNoMoreThanItsShare) {
  auto budget = std::make_shared<BodyBudget>(100, nullptr, 70);
  Admissions a;
  budget->Reserve(40, 1, a.For(0));
  budget->Reserve(30, 1, a.For(1));
  budget->Reserve(20, 1, a.For(2));  // beyond its share
  budget->Reserve(30, 2, a.For(3));  // behind it, but of another owner
  budget->Reserve(10, 3, a.For(4));  // the budget is spent
  budget->Reserve(5, 1, a.For(5));
  EXPECT_TRUE(a.Admitted(0) && a.Admitted(1) && a.Admitted(3));
  EXPECT_FALSE(a.Admitted(2) || a.Admitted(4) || a.Admitted(5));

  a.held[3].reset();  // owner 1 still at its share: only the other owner's body goes
  EXPECT_TRUE(a.Admitted(4));
  EXPECT_FALSE(a.Admitted(2) || a.Admitted(5));
  a.held[0].reset();
  EXPECT_TRUE(a.Admitted(2) && a.Admitted(5));

  // Larger than the share: goes once its owner holds nothing.
  budget->Reserve(80, 3, a.For(6));
  EXPECT_FALSE(a.Admitted(6));
  a.held[4].reset();
  EXPECT_FALSE(a.Admitted(6));  // the budget has room for it only once owner 1 is done
  a.held[1].reset();
  a.held[2].reset();
  a.held[5].reset();
  EXPECT_TRUE(a.Admitted(6));
}

}  // namespace
}  // namespace Basalt::Http
