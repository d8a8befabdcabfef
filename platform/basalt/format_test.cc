#include "platform/basalt/format.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/basalt/clientText.h"
#include "platform/basalt/logLimiter.h"
#include "platform/basalt/logger.h"

namespace Basalt {
namespace {

TEST(FormatTest, SubstitutesByPositionNotByOrder) {
  EXPECT_EQ(Format("%2 before %1", "a", 7), "7 before a");
  EXPECT_EQ(Format("100%% of %1", true), "100% of 1");
  EXPECT_EQ(Format("%3 missing", "x"), " missing");
  EXPECT_EQ(Format("trailing %"), "trailing %");
}

// A root logger at `level` whose records land in `lines` as "level|logger|opId|text".
std::shared_ptr<Service::Logger> RecordingRoot(int level, std::vector<std::string>& lines) {
  return Service::Logger::CreateRoot("root", level, [&lines](const Service::LogRecord& r) {
    lines.push_back(std::to_string(r.level) + "|" + std::string(r.logger) + "|" +
                    std::string(r.opId) + "|" + std::string(r.text));
  });
}

TEST(LoggerTest, WritesOnlyAtOrBelowItsLevelWithOpId) {
  std::vector<std::string> lines;
  auto root = RecordingRoot(5, lines);
  root->ConfigureLevel("Chatty", 7);
  auto quiet = root->CreateChild("Quiet");
  auto chatty = root->CreateChild("Chatty");
  quiet->Log(6, "hidden %1", 1);
  {
    Service::ScopedLogContext context("opID", "op-0");
    quiet->Log(5, "shown %1", 2);
    { Service::ScopedLogContext inner("opID", "op-1"); }
    chatty->Log(7, "detail");
  }
  quiet->Log(3, "after");
  EXPECT_EQ(lines, (std::vector<std::string>{"5|Quiet|op-0|shown 2", "7|Chatty|op-0|detail",
                                             "3|Quiet||after"}));
}

TEST(LoggerTest, DeferredWorkLogsWithTheContextOfItsCaller) {
  std::vector<std::string> lines;
  auto root = RecordingRoot(5, lines);
  std::function<void()> later;
  {
    Service::ScopedLogContext context("opID", "op-7");
    later = Service::CarryLogContext([&] { root->Log(5, "later"); });
  }
  std::thread([&] {
    Service::ScopedLogContext context("opID", "other");
    later();
    root->Log(5, "after");
  }).join();
  EXPECT_EQ(lines, (std::vector<std::string>{"5|root|op-7|later", "5|root|other|after"}));
}

TEST(LoggerTest, EscapesAndBoundsValuesButNotItsPattern) {
  std::vector<std::string> lines;
  auto root = RecordingRoot(7, lines);
  {
    Service::ScopedLogContext context("opID", "op\n[1]");
    root->Log(5, "Certificate #%1 below:\n%2", 0, "x\n2026-01-01T00:00:00.000Z 3 Forged [] line");
  }
  root->Log(5, "%1", std::string(5000, 'y'));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "5|root|op\\n[1\\x5d|Certificate #0 below:\n"
                       "x\\n2026-01-01T00:00:00.000Z 3 Forged [] line",
                       "5|root||" + std::string(kQuoteLimit, 'y') + "\u2026(cut, 5000 bytes)"}));
}

}  // namespace
}  // namespace Basalt

namespace Basalt::Service {
namespace {

TEST(LogLimiterTest, OneLinePerIntervalCountingTheOnesHeldBack) {
  using std::chrono::seconds;
  LogLimiter limiter(seconds(10));
  const LogLimiter::Clock::time_point start{seconds(1000)};
  uint64_t heldBack = 99;
  EXPECT_TRUE(limiter.Due(&heldBack, start));
  EXPECT_EQ(heldBack, 0u);
  EXPECT_FALSE(limiter.Due(&heldBack, start + seconds(3)));
  EXPECT_FALSE(limiter.Due(nullptr, start + seconds(9)));
  EXPECT_TRUE(limiter.Due(&heldBack, start + seconds(10)));
  EXPECT_EQ(heldBack, 2u);
  EXPECT_FALSE(limiter.Due(&heldBack, start + seconds(19)));
  EXPECT_TRUE(limiter.Due(&heldBack, start + seconds(60)));
  EXPECT_EQ(heldBack, 1u);
}

}  // namespace
}  // namespace Basalt::Service
