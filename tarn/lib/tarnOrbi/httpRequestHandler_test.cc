#include "tarnOrbi/httpRequestHandler.h"

#include <gtest/gtest.h>

#include "tarnOrbi/httpServerTransportHelper.h"

namespace TarnOrbi {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

// Content types, Accept negotiation and the identifier headers are checked against the daemon in
// tests/e2e/test_transport.py; here the body's reading and the answer's writing, step by step.

// Serves a fixed body in reads of at most the asked size; completes inline.
class FakeRequest : public Basalt::Http::Request, public std::enable_shared_from_this<FakeRequest> {
 public:
  FakeRequest(std::string body, std::vector<std::pair<std::string, std::string>> headers)
      : body_(std::move(body)), headers_(std::move(headers)) {}
  Basalt::Http::Method GetMethod() const override { return Basalt::Http::Method::POST; }
  std::string GetPath() const override { return "/api"; }
  std::optional<std::string> GetHeader(std::string_view name) const override {
    for (const auto& [key, value] : headers_) {
      if (key == name) return value;
    }
    return std::nullopt;
  }
  std::vector<std::pair<std::string, std::string>> GetHeaders() const override { return headers_; }
  void AsyncRead(void* data, size_t size, ReadDone done) override {
    ++reads;
    if (failRead) return done(shared_from_this(), std::make_error_code(std::errc::io_error), 0);
    size_t n = std::min(size, body_.size() - offset_);
    std::memcpy(data, body_.data() + offset_, n);
    offset_ += n;
    done(shared_from_this(), {}, n);
  }
  int reads = 0;
  bool failRead = false;

 private:
  std::string body_;
  size_t offset_ = 0;
  std::vector<std::pair<std::string, std::string>> headers_;
};

class FakeResponse : public Basalt::Http::Response,
                     public std::enable_shared_from_this<FakeResponse> {
 public:
  void SetContentType(const std::string& type) override { contentType = type; }
  void SetHeader(const std::string& name, const std::string& value) override {
    headers.emplace_back(name, value);
  }
  void AsyncWrite(const void* data, size_t size, WriteDone done) override {
    body.assign(static_cast<const char*>(data), size);
    done(shared_from_this(),
         failWrite ? std::make_error_code(std::errc::broken_pipe) : std::error_code());
  }
  void Answer(int code, const std::string& reason) override {
    status = code;
    statusText = reason;
  }
  std::string contentType, body, statusText;
  std::vector<std::pair<std::string, std::string>> headers;
  int status = 0;
  bool failWrite = false;
};

std::shared_ptr<Basalt::Service::Logger> Capturing(std::vector<std::string>& lines) {
  return Basalt::Service::Logger::CreateRoot(
      "OrbiHandler", 7, [&lines](const auto& r) { lines.emplace_back(r.text); });
}

struct Received {
  bool called = false;
  std::shared_ptr<const Orbi::Data::ErrorValue> error;
  std::string frame;
};

Received Receive(const std::shared_ptr<FakeRequest>& request, int32_t limit) {
  std::vector<std::string> lines;
  auto logger = std::make_shared<BasaltWrapLoggger>(Capturing(lines));
  auto helper = HttpRecvHelper::Create(request, logger, limit);
  auto buffer = std::make_shared<Orbi::Transport::FrameBuffer>();
  Received received;
  helper->HandleFrame(buffer, [&](auto error) {
    received.called = true;
    received.error = error;
    auto data = buffer->data();
    received.frame.assign(static_cast<const char*>(data.data()), data.size());
  });
  return received;
}

TEST(ReceiveTest, ReadsTheBodyInStepsBelowTheLimit) {
  auto request = std::make_shared<FakeRequest>(std::string(9999, 'x'), Headers{});
  auto received = Receive(request, 10000);
  ASSERT_TRUE(received.called);
  EXPECT_EQ(received.error, nullptr);
  EXPECT_EQ(received.frame.size(), 9999u);
  EXPECT_EQ(request->reads, 4);  // 4096 + 4096 + 1807 + end of body
}

TEST(ReceiveTest, RefusesOnceTheLimitIsReachedWithoutReadingOn) {
  auto request = std::make_shared<FakeRequest>(std::string(50000, 'x'), Headers{});
  auto received = Receive(request, 10000);
  ASSERT_NE(received.error, nullptr);
  EXPECT_EQ(request->reads, 3);
  EXPECT_EQ(received.error->GetName(), "system_error");
  EXPECT_EQ(*received.error->GetString("category"), "http");
  EXPECT_EQ(Orbi::Data::As<Orbi::Data::IntegerValue>(received.error->GetField("code"))->GetValue(),
            400);
  EXPECT_NE(received.error->ToString().find("Request exceeds max size: 10000."), std::string::npos);

  auto exact = std::make_shared<FakeRequest>(std::string(10000, 'x'), Headers{});
  EXPECT_NE(Receive(exact, 10000).error, nullptr);
}

TEST(ReceiveTest, EmptyBodyIsAnEmptyFrameAndReadFailuresAre500) {
  auto empty = std::make_shared<FakeRequest>("", Headers{});
  auto received = Receive(empty, 10000);
  EXPECT_EQ(received.error, nullptr);
  EXPECT_TRUE(received.frame.empty());

  auto failing = std::make_shared<FakeRequest>("abc", Headers{});
  failing->failRead = true;
  auto failed = Receive(failing, 10000);
  ASSERT_NE(failed.error, nullptr);
  EXPECT_EQ(Orbi::Data::As<Orbi::Data::IntegerValue>(failed.error->GetField("code"))->GetValue(),
            500);
}

TEST(SendTest, SetsHeadersInOrderAndReportsWriteFailures) {
  std::vector<std::string> lines;
  auto logger = std::make_shared<BasaltWrapLoggger>(Capturing(lines));
  auto response = std::make_shared<FakeResponse>();
  auto sender = HttpSendHelper::Create(response, logger);
  auto buffer = std::make_shared<Orbi::Transport::FrameBuffer>();
  std::ostream(buffer.get()) << "body";
  std::shared_ptr<const Orbi::Data::ErrorValue> error;
  sender->HandleFrame(buffer, {{"B", "1"}, {"A", "2"}}, [&](auto e) { error = e; });
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(response->body, "body");
  ASSERT_EQ(response->headers.size(), 2u);
  EXPECT_EQ(response->headers[0].first, "B");

  response->failWrite = true;
  sender->HandleFrame(buffer, [&](auto e) { error = e; });
  ASSERT_NE(error, nullptr);
  EXPECT_NE(error->ToString().find("orbi.send.failed"), std::string::npos);
  EXPECT_EQ(Orbi::Data::As<Orbi::Data::IntegerValue>(error->GetField("code"))->GetValue(), 500);
}

}  // namespace
}  // namespace TarnOrbi
