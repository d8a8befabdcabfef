#include "tarnOrbi/httpRequestHandler.h"

#include <gtest/gtest.h>

#include "tarnOrbi/httpServerTransportHelper.h"

namespace TarnOrbi {
namespace {

// Content types, Accept negotiation and the identifier headers are checked against the daemon in
// tests/e2e/test_transport.py; here the body's reading and the answer's writing, step by step.

// Serves a fixed body in reads of at most the asked size; completes inline.
class FakeRequest : public Basalt::Http::Request, public std::enable_shared_from_this<FakeRequest> {
 public:
  explicit FakeRequest(std::string body) : body_(std::move(body)) {}
  Basalt::Http::Method GetMethod() const override { return Basalt::Http::Method::POST; }
  std::string GetPath() const override { return "/api"; }
  std::optional<std::string_view> GetHeader(std::string_view name) const override {
    if (name == "Content-Length" && length) return *length;
    return {};
  }
  std::vector<std::pair<std::string, std::string>> GetHeaders() const override { return {}; }
  void AsyncRead(void* data, size_t size, ReadDone done) override {
    ++reads;
    sizes.push_back(size);
    if (hold || (stallAtEnd && offset_ == body_.size())) {
      held = std::move(done);
      return;
    }
    if (failRead) return done(shared_from_this(), std::make_error_code(std::errc::io_error), 0);
    size_t n = std::min(size, body_.size() - offset_);
    std::memcpy(data, body_.data() + offset_, n);
    offset_ += n;
    done(shared_from_this(), {}, n);
  }
  int reads = 0;
  bool failRead = false;
  bool hold = false;                  // keeps the read pending in `held`
  bool stallAtEnd = false;            // holds the read that finds the body's bytes all taken
  std::optional<std::string> length;  // Content-Length
  std::vector<size_t> sizes;          // asked by each read
  ReadDone held;

 private:
  std::string body_;
  size_t offset_ = 0;
};

class FakeResponse : public Basalt::Http::Response,
                     public std::enable_shared_from_this<FakeResponse> {
 public:
  void SetContentType(std::string_view) override {}
  void SetHeader(std::string_view name, std::string_view value) override {
    headers.emplace_back(name, value);
  }
  void AsyncWrite(std::string text, WriteDone done) override {
    body = std::move(text);
    done(shared_from_this(),
         failWrite ? std::make_error_code(std::errc::broken_pipe) : std::error_code());
  }
  void Answer(int, const std::string&) override {}
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool failWrite = false;
};

std::shared_ptr<BasaltWrapLoggger> Logger() {
  return std::make_shared<BasaltWrapLoggger>(Basalt::Service::Logger::CreateLogger("OrbiHandler"));
}

struct Case {
  size_t body;
  int reads;
  int code;  // 0: the whole body was read
  bool failRead = false;
};

// Reads of 4096 below the limit of 10000; reaching it refuses without reading on.
TEST(ReceiveTest, ReadsTheBodyInStepsAndRefusesAtTheLimit) {
  for (const Case& c : {Case{9999, 4, 0}, Case{0, 1, 0}, Case{10000, 3, 400}, Case{50000, 3, 400},
                        Case{3, 1, 500, true}}) {
    SCOPED_TRACE(c.body);
    auto request = std::make_shared<FakeRequest>(std::string(c.body, 'x'));
    request->failRead = c.failRead;
    auto helper = HttpRecvHelper::Create(request, Logger(), 10000);
    auto buffer = std::make_shared<Orbi::Transport::FrameBuffer>();
    int code = -1;
    helper->HandleFrame(buffer, [&](std::shared_ptr<const Orbi::Data::ErrorValue> error) {
      code =
          error ? Orbi::Data::As<Orbi::Data::IntegerValue>(error->GetField("code"))->GetValue() : 0;
      if (code == 400) {
        EXPECT_EQ(*error->GetString("category"), "http");
        EXPECT_NE(error->ToString().find("Request exceeds max size: 10000."), std::string::npos);
      }
    });
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(request->reads, c.reads);
    if (code == 0) {
      EXPECT_EQ(buffer->View(), std::string(c.body, 'x'));
    }
  }
}

// The room asked for a body of announced length doubles with what came: a client that announces
// 64 KiB and stalls after one byte holds 8 KiB, not the whole length.
TEST(ReceiveTest, ReadsAnAnnouncedBodyIntoRoomThatGrowsWithWhatCame) {
  for (size_t sent : {size_t{1}, size_t{65536}}) {
    auto request = std::make_shared<FakeRequest>(std::string(sent, 'x'));
    request->length = "65536";
    request->stallAtEnd = sent < 65536;
    auto buffer = std::make_shared<Orbi::Transport::FrameBuffer>();
    int done = 0;
    HttpRecvHelper::Create(request, Logger(), 1 << 20)->HandleFrame(buffer, [&](auto) { ++done; });
    const std::vector<size_t> stalled{4096, 4096}, whole{4096, 4096, 8192, 16384, 32768};
    EXPECT_EQ(request->sizes, sent == 1 ? stalled : whole);
    EXPECT_EQ(done, sent == 1 ? 0 : 1);
    request->held = nullptr;  // the pending read holds the helper, which holds the request
  }
}

// A frame while one is pending is refused and leaves the pending one to complete.
TEST(ReceiveTest, RefusesAFrameWhileOneIsPending) {
  auto request = std::make_shared<FakeRequest>("ab");
  request->hold = true;
  auto helper = HttpRecvHelper::Create(request, Logger(), 100);
  auto buffer = std::make_shared<Orbi::Transport::FrameBuffer>();
  std::vector<std::shared_ptr<const Orbi::Data::ErrorValue>> first, second;
  helper->HandleFrame(buffer, [&](auto error) { first.push_back(error); });
  helper->HandleFrame(std::make_shared<Orbi::Transport::FrameBuffer>(),
                      [&](auto error) { second.push_back(error); });
  ASSERT_EQ(second.size(), 1u);
  ASSERT_NE(second[0], nullptr);
  EXPECT_NE(second[0]->ToString().find("orbi.recv.failed"), std::string::npos);
  EXPECT_EQ(request->reads, 1);

  request->hold = false;
  std::exchange(request->held, nullptr)(request, {}, 0);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], nullptr);
  EXPECT_EQ(second.size(), 1u);
}

TEST(SendTest, SetsHeadersInOrderAndReportsWriteFailures) {
  auto response = std::make_shared<FakeResponse>();
  auto sender = HttpSendHelper::Create(response, Logger());
  auto buffer = std::make_shared<Orbi::Transport::FrameBuffer>("body");
  std::shared_ptr<const Orbi::Data::ErrorValue> error;
  sender->HandleFrame(buffer, {{"B", "1"}, {"A", "2"}}, [&](auto e) { error = e; });
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(response->body, "body");
  EXPECT_EQ(response->headers,
            (std::vector<std::pair<std::string, std::string>>{{"B", "1"}, {"A", "2"}}));

  response->failWrite = true;
  sender->HandleFrame(buffer, [&](auto e) { error = e; });
  ASSERT_NE(error, nullptr);
  EXPECT_NE(error->ToString().find("orbi.send.failed"), std::string::npos);
  EXPECT_EQ(Orbi::Data::As<Orbi::Data::IntegerValue>(error->GetField("code"))->GetValue(), 500);
}

}  // namespace
}  // namespace TarnOrbi
